#ifndef CHECKPOINTER_H
#define CHECKPOINTER_H

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct sqlite3;

// Copies the write-ahead journal's pages into the database on a thread of its own, through a connection of its own,
// so that the event loop's thread never waits for a checkpoint's writes and syncs. The store's commits ask for one
// (request()) once the journal holds as many pages as SQLite's automatic checkpoint would wait for. A passive
// checkpoint never waits for the writer; the journal starts again from its beginning at the store's next
// transaction after a checkpoint that copied every page.
class Checkpointer
{
public:
    Checkpointer() = default;
    ~Checkpointer();
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

    // Opens the second connection to the database at path and starts the thread; false with the error when the
    // connection cannot be opened.
    bool start(const QString& path, QString* error);
    // Asks for a checkpoint; returns at once.
    void request();
    // Whether a checkpoint is running or asked for.
    bool isBusy() const { return m_busy.load(std::memory_order_relaxed); }
    // Ends the thread after the checkpoint that runs, and closes its connection.
    void stop();

private:
    void run();

    sqlite3* m_db = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_requested = false;
    bool m_stopping = false;
    std::atomic<bool> m_busy {false};
};

#endif
