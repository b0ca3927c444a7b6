// The images and texts compiled into the program (icon, donate logos, licence and
// notices). They live in a static library, so they are registered explicitly before
// first use; repeated calls do nothing. GUI thread.
#pragma once

void initProgramResources();
