// Pure parsing for the program's fast path (fastpath.cpp): git's request as
// the module's _parse_input sees it, the host rule, and the token from the
// configuration file as json.load and _read_token would give it.
//
// Every function answers only what it is certain of; anything else is
// `unsure`, and the caller hands the whole run to the interpreter.
#pragma once

#include <cstddef>
#include <string_view>

namespace fastpath {

// Python's first read of stdin: TextIOWrapper asks the buffer for 8192
// bytes, which then does one raw read of that size and decodes all of it.
constexpr std::size_t stdin_chunk = 8192;

// UTF-8 exactly as Python's strict decoder accepts a complete input: no
// overlong forms, no surrogates, nothing above U+10FFFF, no cut-off tail.
bool valid_utf8(std::string_view s);

// str.strip() with no argument, on valid UTF-8: every code point that
// str.isspace() accepts is removed at both ends.
std::string_view strip(std::string_view s);

struct Request {
    bool has_host = false, has_protocol = false;
    std::string_view host, protocol;  // the last value given for each key
};

enum class Parse { unsure, complete };

// `chunk` is what the module's first raw read returns (at most stdin_chunk
// bytes); `eof` says that no byte follows it.  complete: the module stops
// reading inside this chunk (at a blank line or at the end) and sees
// `out`.  unsure: it would read further, or fail to decode.
Parse parse_request(std::string_view chunk, bool eof, Request &out);

enum class Host { unsure, other, github };

// other: the module certainly does not answer for this host value.
// github: it certainly does (a plain DNS name ending in github.com, with at
// most a port).  Anything unusual (whitespace, non-ASCII, odd ports or
// labels) is unsure.
Host classify_host(std::string_view host);

enum class Token { unsure, none, text };

// The configuration file's bytes.  none: _read_token gives a falsy value
// (no github_token member, "", null or false).  text: a non-empty plain
// string, written UTF-8 encoded to out[0, *size).  Everything else,
// including any JSON that Python reads differently or that the module
// treats specially (control characters, line breaks, lone surrogates), is
// unsure.
Token read_token(std::string_view doc, char *out, std::size_t cap, std::size_t *size);

}  // namespace fastpath
