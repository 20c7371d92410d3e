// Events of the live log stream: "data: " + json.dumps({"type": "log",
// "text": ..., "time": ...}) + "\n\n", built natively where the objects the
// stream would call are the originals, else through those objects.
#pragma once

#include "opsdeck.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace opsdeck::events {

// How the events of one step are built.
struct Builders {
    bool native_json = false;   // json.dumps is the original
    bool native_clock = false;  // datetime and timezone are the originals

    // For buffer entries: only json.dumps matters.
    static Builders for_entries() { return {originals::dumps.holds(), false}; }
    // For file lines, which also carry the current time.
    static Builders for_lines() {
        return {originals::dumps.holds(), originals::datetime.holds() && originals::timezone.holds()};
    }
};

// Event text built up for one item of the response body.
struct Text {
    std::string bytes;
    bool ascii = true;  // only a replaced json.dumps can make it otherwise

    std::size_t size() const { return bytes.size(); }
    bool empty() const { return bytes.empty(); }
    void clear() {
        bytes.clear();
        ascii = true;
    }
    // The text as a str.
    mf::Ref str() const;
};

// The event of a buffer entry's text and time, appended to `out`.
void entry_event(Text &out, PyObject *text, PyObject *time, const Builders &how);

// The event of a file line (a str, or valid UTF-8 bytes), stamped with
// datetime.now(timezone.utc).isoformat().
void line_event(Text &out, PyObject *line, const Builders &how);
void line_event(Text &out, std::string_view line, const Builders &how);

// The events of file pieces, text[from, to) each (valid UTF-8), each
// stripped as str.strip() does and skipped when nothing is left, until
// `out` holds `limit` bytes or more; returns the number of pieces used.
#if !ZETADESK_PORTABLE
using Piece = std::pair<std::size_t, std::size_t>;
std::size_t piece_events(Text &out, const char *text, std::span<const Piece> pieces, const Builders &how,
                         std::size_t limit);
#endif

// The length of a valid UTF-8 sequence from its lead byte.
inline int utf8_length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4; }

}  // namespace opsdeck::events
