#include "storedtext.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// The length of the valid sequence at the start of s (of n bytes, n > 0, s[0] >= 0x80), or 0.
std::size_t validSequence(const unsigned char* s, std::size_t n)
{
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        // No overlong forms, and no surrogates, which UTF-16 could not hold as characters.
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        // Nothing overlong and nothing beyond U+10FFFF.
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    }
    return length;
}

} // namespace

bool isValidUtf8(std::string_view text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    constexpr std::uint64_t highBits = 0x8080808080808080ULL;
    std::size_t i = 0;
    // Most texts are ASCII: eight bytes at a time, the last eight overlapping what was checked.
    if (n >= 8) {
        std::uint64_t word;
        for (; n - i >= 8; i += 8) {
            std::memcpy(&word, s + i, sizeof word);
            if (word & highBits)
                break;
        }
        if (n - i < 8) {
            std::memcpy(&word, s + n - 8, sizeof word);
            if ((word & highBits) == 0)
                return true;
        }
    }
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = validSequence(s + i, n - i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string_view storedText(std::string_view text, std::string& scratch)
{
    if (isValidUtf8(text))
        return text;
    // Qt's decoder drops a leading byte order mark, which is a valid character: it stays.
    const std::string_view bom("\xef\xbb\xbf");
    const std::size_t kept = text.substr(0, bom.size()) == bom ? bom.size() : 0;
    const QByteArray repaired = QString::fromUtf8(text.data() + kept, int(text.size() - kept)).toUtf8();
    scratch.assign(text.data(), kept);
    scratch.append(repaired.constData(), std::size_t(repaired.size()));
    return scratch;
}

std::string_view masterText(std::string_view text, std::string& scratch, bool* altered)
{
    std::string_view stored = storedText(text, scratch);
    const bool hasNul = stored.find('\0') != std::string_view::npos;
    *altered = stored.data() != text.data() || hasNul;
    if (!hasNul)
        return stored;
    std::string replaced;
    replaced.reserve(stored.size() + 8);
    for (char c : stored) {
        if (c == '\0')
            replaced += "\xef\xbf\xbd";
        else
            replaced += c;
    }
    scratch = std::move(replaced);
    return scratch;
}
