// Text helpers every part shares: fixed-size fields and shell words.
#ifndef CORVANTIS_AGENT_TEXT_H
#define CORVANTIS_AGENT_TEXT_H

#include <cstddef>
#include <cstdio>
#include <string>

// Copies into a fixed-size field, cut to fit and always terminated; a
// null source gives the empty text.
inline void copy_text(char *dst, size_t size, const char *src)
{
    std::snprintf(dst, size, "%s", src ? src : "");
}

template <size_t N>
void copy_text(char (&dst)[N], const char *src)
{
    copy_text(dst, N, src);
}

// One shell word: the text in single quotes, embedded quotes escaped, so
// any text (a path from the database, a password from the configuration)
// reaches the command as exactly one argument.
inline std::string shell_quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

#endif
