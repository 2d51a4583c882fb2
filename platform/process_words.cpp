// Windows command-line splitting, shared by both backends (the Win32 one
// needs it only for tests and messages; CreateProcess splits by itself).
#include "platform/process.h"

namespace platform {

std::vector<std::string> splitCommandLine(std::string_view s) {
    std::vector<std::string> words;
    std::size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (i < s.size() && blank(s[i])) ++i;
    if (i >= s.size()) return words;

    // The program name: quotes only delimit it; backslashes are plain.
    std::string word;
    if (s[i] == '"') {
        ++i;
        while (i < s.size() && s[i] != '"') word.push_back(s[i++]);
        if (i < s.size()) ++i;
    }
    while (i < s.size() && !blank(s[i])) word.push_back(s[i++]);
    words.push_back(word);
    while (i < s.size() && blank(s[i])) ++i;

    word.clear();
    bool open = false;          // a word has begun
    int quotes = 0;             // 1 while inside a quoted part
    std::size_t backslashes = 0;
    while (i < s.size()) {
        char c = s[i];
        if (blank(c) && quotes == 0) {
            words.push_back(word);
            word.clear();
            open = false;
            backslashes = 0;
            while (i < s.size() && blank(s[i])) ++i;
            continue;
        }
        open = true;
        if (c == '\\') {
            word.push_back(c);
            ++backslashes;
            ++i;
            continue;
        }
        if (c == '"') {
            if (backslashes % 2 == 0) {
                word.resize(word.size() - backslashes / 2);
                ++quotes;
            } else {
                word.resize(word.size() - backslashes / 2 - 1);
                word.push_back('"');
            }
            ++i;
            backslashes = 0;
            // Runs of quotes: every third one is a literal quote.
            while (i < s.size() && s[i] == '"') {
                if (++quotes == 3) {
                    word.push_back('"');
                    quotes = 0;
                }
                ++i;
            }
            if (quotes == 2) quotes = 0;
            continue;
        }
        word.push_back(c);
        backslashes = 0;
        ++i;
    }
    if (open) words.push_back(word);
    return words;
}

std::string quoteCommandWord(std::string_view text) {
    if (!text.empty() && text.find_first_of(" \t\n\r\v\"") == std::string_view::npos) return std::string(text);
    std::string word = "\"";
    std::size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; before
        // anything else they are literal.
        word.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        word.push_back(c);
    }
    word.append(2 * backslashes, '\\');
    word.push_back('"');
    return word;
}

}  // namespace platform
