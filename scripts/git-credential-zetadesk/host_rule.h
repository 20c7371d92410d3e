// The GitHub host rule, shared by the module (on a str's code points) and
// the program's fast path (on bytes).  Header only, with no allocation and
// no Python: the program is linked without libpython and libstdc++.
//
// Every template takes `at(i)`, which gives the code point at index i of the
// host value, and the value's length.
#pragma once

#include <cstddef>
#include <string_view>

namespace host_rule {

// The host whose token the configuration file holds.
constexpr std::string_view github_host = "github.com";

// A character of a plain DNS name, or the dots between its labels.
constexpr bool is_host_char(char32_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

constexpr bool ascii_equal_nocase(char32_t c, char expected) {
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    return c == static_cast<char32_t>(static_cast<unsigned char>(expected));
}

// Where the name ends in value[0, size): one trailing ":<digits>" is
// dropped.  A result below `size` means a port was dropped, and its digits
// start one past the result.
template <class At>
constexpr std::size_t name_end(At at, std::size_t size) {
    std::size_t digits = size;
    while (digits > 0) {
        const char32_t c = at(digits - 1);
        if (c < '0' || c > '9') break;
        --digits;
    }
    if (digits < size && digits > 0 && at(digits - 1) == ':') return digits - 1;
    return size;
}

// Whether the name value[0, end) is github.com or ends in .github.com,
// ASCII case-insensitively.  The characters are not checked here.
template <class At>
constexpr bool names_github(At at, std::size_t end) {
    const std::size_t n = github_host.size();
    if (end < n) return false;
    const std::size_t start = end - n;
    for (std::size_t i = 0; i < n; ++i)
        if (!ascii_equal_nocase(at(start + i), github_host[i])) return false;
    return start == 0 || at(start - 1) == '.';
}

// The whole rule on an already stripped value: without its port, the name
// holds host characters only and names GitHub.
template <class At>
constexpr bool is_github_host(At at, std::size_t size) {
    const std::size_t end = name_end(at, size);
    for (std::size_t i = 0; i < end; ++i)
        if (!is_host_char(at(i))) return false;
    return names_github(at, end);
}

}  // namespace host_rule
