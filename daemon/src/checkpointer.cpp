#include "checkpointer.h"

#include <QDebug>

#include <sqlite3.h>

Checkpointer::~Checkpointer()
{
    stop();
}

bool Checkpointer::start(const QString& path, QString* error)
{
    // A first read opens the write-ahead journal: a connection that read nothing checkpoints nothing.
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK
        || sqlite3_exec(m_db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_close(m_db);
        m_db = nullptr;
        return false;
    }
    m_thread = std::thread(&Checkpointer::run, this);
    return true;
}

void Checkpointer::request()
{
    if (!m_db)
        return;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_requested = true;
        m_busy.store(true, std::memory_order_relaxed);
    }
    m_wake.notify_one();
}

void Checkpointer::stop()
{
    if (m_thread.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    sqlite3_close(m_db);
    m_db = nullptr;
}

void Checkpointer::run()
{
    QString lastError;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_requested || m_stopping; });
            if (m_stopping)
                return;
            m_requested = false;
        }
        int pages = 0;
        int copied = 0;
        const int code = sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &pages, &copied);
        // A busy database leaves the pages for the next request.
        const QString error = code == SQLITE_OK || code == SQLITE_BUSY ? QString() : QString::fromUtf8(sqlite3_errmsg(m_db));
        if (error != lastError && !error.isEmpty())
            qWarning() << QStringLiteral("Cannot copy the write-ahead journal into the database: %1").arg(error);
        lastError = error;
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_requested)
            m_busy.store(false, std::memory_order_relaxed);
    }
}
