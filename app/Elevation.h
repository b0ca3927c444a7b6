// Whether this process runs with administrator rights, and the reading of the
// integer-valued ZRT_ switch variables. Pure functions of the process state;
// callable from any thread.
#pragma once

// True when the effective user id is 0, or when ZRT_ASSUME_ELEVATED, read as an
// integer (decimal, 0x hexadecimal or leading-zero octal), equals 1.
bool isElevated();

// True when the variable, read as an integer with automatic base, equals 1
// ("1", "01" and "0x1" count; "true", "yes" and "2" do not).
bool envSwitchIsOne(const char* name);
