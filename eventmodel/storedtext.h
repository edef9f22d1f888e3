#ifndef STOREDTEXT_H
#define STOREDTEXT_H

#include <string>
#include <string_view>

// The one rule for a stored text: it is valid UTF-8. Bytes that are not become U+FFFD as Qt's
// UTF-8 decoder replaces them; a NUL is a character like any other and stays.

// Whether text is valid UTF-8 as Qt's decoder reads it: nothing of it would be replaced.
bool isValidUtf8(std::string_view text);

// The text as it is stored: text itself when it is valid, else its repaired copy, kept in scratch.
std::string_view storedText(std::string_view text, std::string& scratch);

// The text as the master takes it, which cannot hold a NUL: the stored text with each NUL
// replaced by U+FFFD. altered tells whether the result differs from text.
std::string_view masterText(std::string_view text, std::string& scratch, bool* altered);

#endif
