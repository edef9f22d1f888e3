#ifndef JOURNAL_H
#define JOURNAL_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

struct sd_journal;

// One boot as the journal knows it.
struct JournalBoot
{
    QByteArray id;
    // The boot's start in milliseconds since the epoch: its first entry's realtime less its monotonic time.
    std::uint64_t startMs = 0;
    // The realtime of its first entry, in microseconds: the boots' order.
    std::uint64_t firstEntryUs = 0;
    bool shutdownRecorded = false;
    // The message of the orderly shutdown, as the journal recorded it.
    QString shutdownMessage;
};

// Where an entry pass begins, after the cursor of the last entry handled.
enum class JournalStart { Head, AfterCursor, CursorGone };

// The journal read through sd-journal: the system journal of this machine, or the files of one directory.
// The entries that the collector reads are those of the message IDs it was told to match; boots are
// read without matches. Not thread-safe, as sd-journal is not.
class Journal
{
public:
    Journal();
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Opens the directory's files, or the local system journal when directory is empty.
    bool open(const QString& directory);
    QString errorString() const { return m_error; }
    // A descriptor that becomes readable when the journal changes, -1 when there is none; process() then
    // lets sd-journal take in the change.
    int changeDescriptor() const { return m_fd; }
    void process();

    // The boots, oldest first, or false with errorString(). The reading position is lost: seek again.
    bool readBoots(QList<JournalBoot>* boots);

    // The entries that next() yields: those that match every "FIELD=value" of one of the terms; all entries
    // when there are none. Takes effect at the next seekAfter().
    void setMatches(const QList<QList<QByteArray>>& terms);
    // Places the reading position after the entry of cursor: the head when cursor is empty, or when its
    // entry is no longer in the journal (rotated or vacuumed away), which the result tells.
    JournalStart seekAfter(const QByteArray& cursor);
    // Moves to the next matching entry; false at the end (or on an error, then with errorString()).
    bool next();
    // A field of the current entry, empty when it has none.
    QByteArray field(const char* name) const;
    std::uint64_t realtimeUs() const;
    QByteArray cursor() const;

private:
    void applyMatches();

    sd_journal* m_journal = nullptr;
    int m_fd = -1;
    QList<QList<QByteArray>> m_matches;
    QString m_error;
};

#endif
