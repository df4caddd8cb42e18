// Fixed ASCII words matched in wide text with the letters in any case, as
// command lines and command strings are matched: no locale takes part.
#pragma once

// c with the ASCII letters A to Z in lower case; every other unit as it is.
inline wchar_t AsciiLower(wchar_t c) noexcept
{
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Where `text` goes on after `word` (lower-case ASCII) when it starts with
// that word, its letters in any case; null when it does not. The text ends
// at its NUL, or at `end` where that is given (text of a known length).
inline const wchar_t* SkipAsciiWordNoCase(const wchar_t* text, const wchar_t* word,
                                          const wchar_t* end = nullptr) noexcept
{
    for (; *word != L'\0'; ++word, ++text) {
        if (text == end || AsciiLower(*text) != *word)
            return nullptr;  // a shorter text stops here, at its NUL or its end
    }
    return text;
}
