// A write-only QIODevice over a file descriptor it does not own. Each write goes straight to
// the descriptor, all of it or an error, and a failure's errorString() is the system's text
// for the call's errno ("No space left on device"). QFile reports a write cut short by a
// full disk as "Unknown error"; the exports write through this instead. One owner, any thread.
#pragma once

#include <QIODevice>

class DescriptorDevice final : public QIODevice {
public:
    // Opens the device for writing when `fd` is a descriptor (>= 0).
    explicit DescriptorDevice(int fd);
    bool isSequential() const override { return true; }
    // The errno of the write that failed; 0 while none has.
    int failure() const { return m_failure; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override;

private:
    int m_fd;
    int m_failure = 0;
};

// The system's text for an errno value, in the current locale.
QString systemErrorText(int code);
