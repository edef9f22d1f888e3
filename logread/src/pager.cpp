#include "pager.h"

#include "programmessagehandler.h"

#include <QDebug>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The pager's command, or empty for none.
QByteArray pagerCommand()
{
    for (const char* name : {"TEVRIKLOG_PAGER", "PAGER"}) {
        if (const char* value = std::getenv(name)) {
            const QByteArray command = QByteArray(value).trimmed();
            return command == "cat" ? QByteArray() : command;
        }
    }
    return "less";
}

// The words that exec runs: a command with the shell's characters is the shell's, words alone run directly.
QList<QByteArray> pagerWords(const QByteArray& command)
{
    if (std::strpbrk(command.constData(), "|&;<>()$`\\\"'*?[#~=%") != nullptr)
        return {"/bin/sh", "sh", "-c", command};
    const QList<QByteArray> words = command.simplified().split(' ');
    return QList<QByteArray>{words.first()} + words;
}

// In the child: runs the program with the pipe as its input; writes errno to status when it cannot.
[[noreturn]] void runPager(char* const* argv, int input, int status)
{
    dup2(input, STDIN_FILENO);
    close(input);
    // Ignored signals stay ignored across exec: the reader ignores SIGPIPE, the pager must not.
    std::signal(SIGPIPE, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    setenv("LESS", "FRSXMK", 0);
    execvp(argv[0], argv + 1);
    const int error = errno;
    (void)!write(status, &error, sizeof error);
    _exit(127);
}

} // namespace

Pager::~Pager()
{
    finish();
}

bool Pager::start()
{
    const QByteArray command = pagerCommand();
    if (command.isEmpty())
        return false;
    int data[2];
    int status[2];
    if (pipe2(data, O_CLOEXEC) != 0) {
        qDebug() << QStringLiteral("Cannot make the pager's pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (pipe2(status, O_CLOEXEC) != 0) {
        qDebug() << QStringLiteral("Cannot make the pager's pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        close(data[0]);
        close(data[1]);
        return false;
    }
    // Made before the fork: the child only calls exec.
    QList<QByteArray> words = pagerWords(command);
    QVector<char*> argv;
    for (QByteArray& word : words)
        argv << word.data();
    argv << nullptr;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(data[1]);
        close(status[0]);
        runPager(argv.data(), data[0], status[1]);
    }
    const int forkError = errno;
    close(data[0]);
    close(status[1]);
    int execError = 0;
    ssize_t got = -1;
    if (pid > 0) {
        // Nothing comes when exec succeeded: the pipe closes with it.
        do
            got = read(status[0], &execError, sizeof execError);
        while (got < 0 && errno == EINTR);
    }
    close(status[0]);
    if (pid < 0 || got > 0) {
        if (pid > 0)
            waitpid(pid, nullptr, 0);
        qDebug() << QStringLiteral("Cannot start the pager %1: %2")
                        .arg(QString::fromLocal8Bit(command),
                             QString::fromLocal8Bit(std::strerror(pid < 0 ? forkError : execError)));
        close(data[1]);
        return false;
    }
    m_pid = pid;
    m_savedOutput = dup(STDOUT_FILENO);
    dup2(data[1], STDOUT_FILENO);
    close(data[1]);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &m_savedInterrupt);
    return true;
}

void Pager::finish()
{
    if (m_pid < 0)
        return;
    std::fflush(stdout);
    // The pager sees the end of its input once the reader's end of the pipe is closed.
    if (m_savedOutput >= 0) {
        dup2(m_savedOutput, STDOUT_FILENO);
        close(m_savedOutput);
        m_savedOutput = -1;
    }
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    sigaction(SIGINT, &m_savedInterrupt, nullptr);
}

int terminalColumns(int fallback)
{
    struct winsize size = {};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return fallback;
}
