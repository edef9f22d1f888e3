#include "journal.h"

#include <systemd/sd-journal.h>

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// systemd's message of the start of an orderly shutdown.
const char shutdownMatch[] = "MESSAGE_ID=98268866d1d54a499c4e98921d93bc40";

QString journalError(const char* what, int result)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(-result)));
}

} // namespace

Journal::Journal() = default;

Journal::~Journal()
{
    if (m_journal)
        sd_journal_close(m_journal);
}

bool Journal::open(const QString& directory)
{
    const int result = directory.isEmpty()
                           ? sd_journal_open(&m_journal, SD_JOURNAL_LOCAL_ONLY)
                           : sd_journal_open_directory(&m_journal, QFile::encodeName(directory).constData(), 0);
    if (result < 0) {
        m_journal = nullptr;
        m_error = journalError(directory.isEmpty() ? "Cannot open the system journal" : "Cannot open the journal",
                               result);
        return false;
    }
    // Asked for before the first read, so that no change after it goes unnoticed.
    m_fd = sd_journal_get_fd(m_journal);
    if (m_fd < 0)
        m_fd = -1;
    return true;
}

void Journal::process()
{
    sd_journal_process(m_journal);
}

bool Journal::readBoots(QList<JournalBoot>* boots)
{
    boots->clear();
    sd_journal_flush_matches(m_journal);
    int result = sd_journal_query_unique(m_journal, "_BOOT_ID");
    if (result < 0) {
        m_error = journalError("Cannot list the journal's boots", result);
        return false;
    }
    QList<QByteArray> ids;
    const void* data = nullptr;
    size_t length = 0;
    SD_JOURNAL_FOREACH_UNIQUE(m_journal, data, length)
    {
        const QByteArray item(static_cast<const char*>(data), int(length));
        ids << item.mid(int(std::strlen("_BOOT_ID=")));
    }

    for (const QByteArray& id : qAsConst(ids)) {
        JournalBoot boot;
        boot.id = id;
        const QByteArray bootMatch = "_BOOT_ID=" + id;
        sd_journal_flush_matches(m_journal);
        sd_journal_add_match(m_journal, bootMatch.constData(), 0);
        sd_journal_seek_head(m_journal);
        std::uint64_t realtime = 0;
        std::uint64_t monotonic = 0;
        sd_id128_t entryBoot;
        if (sd_journal_next(m_journal) <= 0 || sd_journal_get_realtime_usec(m_journal, &realtime) < 0
            || sd_journal_get_monotonic_usec(m_journal, &monotonic, &entryBoot) < 0)
            continue;
        boot.firstEntryUs = realtime;
        boot.startMs = (realtime >= monotonic ? realtime - monotonic : realtime) / 1000;

        sd_journal_add_match(m_journal, shutdownMatch, 0);
        sd_journal_seek_tail(m_journal);
        if (sd_journal_previous(m_journal) > 0) {
            boot.shutdownRecorded = true;
            boot.shutdownMessage = QString::fromUtf8(field("MESSAGE"));
        }
        boots->append(boot);
    }
    sd_journal_flush_matches(m_journal);
    std::stable_sort(boots->begin(), boots->end(),
                     [](const JournalBoot& a, const JournalBoot& b) { return a.firstEntryUs < b.firstEntryUs; });
    return true;
}

void Journal::setMatches(const QList<QList<QByteArray>>& terms)
{
    m_matches = terms;
}

void Journal::applyMatches()
{
    sd_journal_flush_matches(m_journal);
    for (int t = 0; t < m_matches.size(); ++t) {
        if (t > 0)
            sd_journal_add_disjunction(m_journal);
        for (const QByteArray& match : m_matches.at(t))
            sd_journal_add_match(m_journal, match.constData(), size_t(match.size()));
    }
}

JournalStart Journal::seekAfter(const QByteArray& cursor)
{
    applyMatches();
    if (cursor.isEmpty()) {
        sd_journal_seek_head(m_journal);
        return JournalStart::Head;
    }
    if (sd_journal_seek_cursor(m_journal, cursor.constData()) >= 0 && sd_journal_next(m_journal) > 0
        && sd_journal_test_cursor(m_journal, cursor.constData()) > 0)
        return JournalStart::AfterCursor;

    // The cursor's entry may be one that the matches leave out, when they have changed since.
    sd_journal_flush_matches(m_journal);
    const bool present = sd_journal_seek_cursor(m_journal, cursor.constData()) >= 0
                         && sd_journal_next(m_journal) > 0
                         && sd_journal_test_cursor(m_journal, cursor.constData()) > 0;
    applyMatches();
    if (present) {
        sd_journal_seek_cursor(m_journal, cursor.constData());
        return JournalStart::AfterCursor;
    }
    sd_journal_seek_head(m_journal);
    return JournalStart::CursorGone;
}

bool Journal::next()
{
    const int result = sd_journal_next(m_journal);
    if (result < 0)
        m_error = journalError("Cannot read the journal", result);
    return result > 0;
}

QByteArray Journal::field(const char* name) const
{
    const void* data = nullptr;
    size_t length = 0;
    if (sd_journal_get_data(m_journal, name, &data, &length) < 0)
        return QByteArray();
    const size_t prefix = std::strlen(name) + 1;
    if (length < prefix)
        return QByteArray();
    return QByteArray(static_cast<const char*>(data) + prefix, int(length - prefix));
}

std::uint64_t Journal::realtimeUs() const
{
    std::uint64_t usec = 0;
    sd_journal_get_realtime_usec(m_journal, &usec);
    return usec;
}

QByteArray Journal::cursor() const
{
    char* text = nullptr;
    if (sd_journal_get_cursor(m_journal, &text) < 0)
        return QByteArray();
    const QByteArray cursor(text);
    std::free(text);
    return cursor;
}
