#ifndef READEROUTPUT_H
#define READEROUTPUT_H

#include <QByteArray>

#include <cstdio>

// The reader's output and its first failure: once one write fails, nothing more is written.
class ReaderOutput
{
public:
    explicit ReaderOutput(std::FILE* out)
        : m_out(out)
    {
    }

    // Writes the buffered output once it is large enough, or always when forced; false once writing failed.
    bool write(QByteArray& buffer, bool force);
    // The exit status after a failed write: a reader that stopped reading early (a closed pipe, a pager that
    // quit) ends the output quietly, as the standard tools do; anything else is an error, written here.
    int failureStatus() const;

private:
    std::FILE* m_out;
    int m_errno = 0;
};

#endif
