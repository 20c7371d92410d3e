// Line scanning of log files as open(path, encoding="utf-8",
// errors="ignore") reads them: invalid UTF-8 dropped first, then CR, LF and
// CR LF each end a line.
//
// The decoder never drops an ASCII byte and every ASCII byte is a sequence
// of its own, so the CR and LF bytes that survive decoding are exactly those
// of the file.  Terminators are therefore counted with SIMD over the raw
// bytes whatever else they hold: every CR, and every LF not right after a
// CR.  Only two things need the decoder: a CR followed by bytes >= 0x80 (its
// LF may come after dropped bytes, and then the two are one terminator), and
// whether the unterminated rest of the file keeps any byte.
//
// No Python here: the kernels run without the GIL and in the fuzzer.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace opsdeck {

// The UTF-8 sequence at p: its length (1 to 4) when valid; 0 when the byte at
// p starts no valid sequence (the decoder drops that byte and looks again at
// the next one); -1 when the bytes up to `end` are a valid but unfinished
// prefix, which more data may complete.  Surrogates and overlong forms are
// invalid, as in CPython's decoder.
inline int utf8_sequence(const unsigned char *p, const unsigned char *end) noexcept {
    const unsigned char b = *p;
    if (b < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2, lo = 0xA0;
    } else if (b == 0xED) {
        need = 2, hi = 0x9F;
    } else if (b >= 0xE1 && b <= 0xEF) {
        need = 2;
    } else if (b == 0xF0) {
        need = 3, lo = 0x90;
    } else if (b == 0xF4) {
        need = 3, hi = 0x8F;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else {
        return 0;
    }
    for (int i = 1; i <= need; ++i) {
        if (p + i >= end) return -1;
        const unsigned char c = p[i];
        if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return 0;
    }
    return need + 1;
}

// The code point of the valid UTF-8 sequence at p, of length n.
inline uint32_t decode_utf8(const unsigned char *p, int n) {
    switch (n) {
    case 1: return p[0];
    case 2: return (p[0] & 0x1fu) << 6 | (p[1] & 0x3fu);
    case 3: return (p[0] & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
    default: return (p[0] & 0x07u) << 18 | (p[1] & 0x3fu) << 12 | (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu);
    }
}

// Where a valid but unfinished sequence starts among the last bytes of
// p[0, n), else n: what a reader leaves for its next read.
inline std::size_t before_unfinished(const unsigned char *p, std::size_t n) noexcept {
    for (std::size_t q = n > 3 ? n - 3 : 0; q < n; ++q)
        if (utf8_sequence(p + q, p + n) < 0) return q;
    return n;
}

namespace scanner {

enum class Isa : uint8_t { scalar, sse2, avx2, neon };

// The per-instruction-set primitives; every path gives the same results.
struct Kernels {
    Isa isa;
    // Terminators in p[0, n): every CR, and every LF whose preceding byte is
    // not a CR.  p[-1] must be readable (the byte before, or 0).  Sets
    // `suspect` when some p[i] >= 0x80 follows a CR (i = 0 included).
    uint64_t (*count)(const unsigned char *p, std::size_t n, bool &suspect);
    // Bit i of each mask describes p[i] of one 64-byte block.
    void (*masks)(const unsigned char *p, uint64_t &cr, uint64_t &lf, uint64_t &high);
    // Writes to `out` each i of [0, n) where p[i] >= 0x80 follows a CR
    // (p[-1] readable, as for count); returns how many.  `out` has room for
    // n + kSuspectSlack entries.
    std::size_t (*suspects)(const unsigned char *p, std::size_t n, uint32_t *out);
};

constexpr std::size_t kSuspectSlack = 4;

extern const Kernels scalar_kernels;
#if defined(__x86_64__)
extern const Kernels sse2_kernels;
extern const Kernels avx2_kernels;  // call only when the CPU has AVX2
#elif defined(__aarch64__)
extern const Kernels neon_kernels;
#endif

const char *name(Isa isa);
bool available(Isa isa);
const Kernels &kernels(Isa isa);
// The path in use: the best one this CPU has, or the one named by the
// environment variable ZETADESK_SCANNER (scalar, sse2, avx2, neon), read once.
const Kernels &active();

constexpr uint64_t kNone = UINT64_MAX;

// Scratch bytes.  Large ones get pages of their own and go back to the
// system when freed: a request's buffers never stay behind in the
// allocator's per-thread arenas, and pages never touched cost nothing.
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::size_t n) { reset(n); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&other) noexcept { take(other); }
    Buffer &operator=(Buffer &&other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~Buffer() { release(); }
    // n bytes, contents undefined; throws std::bad_alloc.  `expect` is how
    // many of them the caller expects to fill (a hint).
    void reset(std::size_t n, std::size_t expect = 0);
    void shrink(std::size_t n) { size_ = n < size_ ? n : size_; }
    unsigned char *data() { return p_; }
    const unsigned char *data() const { return p_; }
    std::size_t size() const { return size_; }

private:
    void release();
    void take(Buffer &other) noexcept {
        p_ = other.p_, size_ = other.size_, capacity_ = other.capacity_, mapped_ = other.mapped_;
        other.p_ = nullptr, other.size_ = other.capacity_ = 0, other.mapped_ = false;
    }
    unsigned char *p_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;
};

struct ReadError {
    int err;  // errno value
};

// Runs f, which reads through the scanner; returns 0, or the errno value of
// a failed read (ENOMEM when memory ran out).  Meant for code without the
// GIL, where no exception may leave.
template <class F>
int reading(F &&f) noexcept {
    try {
        f();
        return 0;
    } catch (const ReadError &e) {
        return e.err;
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

// Random-access bytes: a file descriptor (pread) or memory.  Nothing at or
// beyond `limit` is read.  Bytes from `window_offset` on come from `window`
// (which holds them up to `limit`) instead: what an earlier read kept.
struct Input {
    int fd = -1;
    const unsigned char *data = nullptr;
    uint64_t data_size = 0;
    uint64_t limit = kNone;
    const unsigned char *window = nullptr;
    uint64_t window_offset = kNone;
    // Up to n bytes at `offset`, fewer only at the end; throws ReadError.
    std::size_t read_at(uint64_t offset, unsigned char *buf, std::size_t n) const;
};

// Where reading may resume: line number `terms` is the one that holds byte
// `offset`; `skip_lf` is the offset of an LF at or after `offset` that ends
// the CR before `offset` together with it (only dropped bytes between), else kNone.
struct Checkpoint {
    uint64_t offset;
    uint64_t terms;
    uint64_t skip_lf;
};

struct Count {
    uint64_t terms = 0;       // terminators
    uint64_t size = 0;        // bytes read
    bool tail_kept = false;   // the bytes after the last terminator keep a character
    std::vector<Checkpoint> checkpoints;  // one per chunk, ascending
    // The last chunk read, bytes [window_offset, size) at window_data:
    // kept so that a tail within it is taken from the very bytes counted.
    Buffer window;
    const unsigned char *window_data = nullptr;
    uint64_t window_offset = kNone;
    uint64_t lines() const { return terms + (tail_kept ? 1 : 0); }
    // `in` up to what was counted, the kept chunk read from memory.
    Input counted(const Input &in) const {
        Input upto = in;
        upto.limit = in.limit < size ? in.limit : size;
        if (window_data) upto.window = window_data, upto.window_offset = window_offset;
        return upto;
    }
};

constexpr std::size_t kChunk = 256 * 1024;

// Counts the lines of `in` up to its end (what reading finds at the time).
// With parts > 1 the input is cut where its expected `size` says into that
// many parts, read and counted at the same time on as many threads (the
// calling one included) and joined: one core alone copies the page cache
// at well under the memory's bandwidth.  The last part reads on to the end;
// the count is that of one reading from the start.  Throws ReadError.
Count count_lines(const Input &in, const Kernels &k, std::size_t chunk = kChunk, unsigned parts = 1,
                  uint64_t size = 0);

// How many parts count_lines should use for `size` bytes: one per CPU this
// thread may run on, at most kMaxParts, and none smaller than kPartMin
// (a thread costs tens of microseconds; a small file is read sooner alone).
constexpr uint64_t kPartMin = 4 * 1024 * 1024;
constexpr uint64_t kMaxParts = 4;
unsigned scan_parts(uint64_t size);

// The live stream's read: the file from `offset`, at most `cap` bytes of it,
// with invalid UTF-8 dropped and cut into pieces at every CR and LF (a CR LF
// leaves an empty piece between the two).  `consumed` is how far the next
// read starts: a character cut off at the end is left for it, and when the
// cap stops the read before the end, so is the line it stopped in (unless a
// single line fills the whole cap).  The pieces point into `text`.
// `expect` is how many bytes the caller expects (from its size query), a
// hint only.  Throws ReadError.
struct Pieces {
    Buffer text;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    uint64_t consumed = 0;
};
constexpr std::size_t kStreamCap = 16 * 1024 * 1024;
void read_pieces(const Input &in, const Kernels &k, uint64_t offset, std::size_t cap, Pieces &out,
                 uint64_t expect = 0);

// ---- bounded lines ------------------------------------------------------------
//
// No log line costs more than kLineLimit bytes of text: a longer one keeps
// its first and last kLineKeep bytes (whole characters: the longest prefix
// and suffix that fit) around the marker left_out_marker(n), n being the
// bytes of text in between.  Sizes are those of the text in UTF-8 after
// invalid bytes are dropped (and, for the live stream, after strip()).
constexpr std::size_t kLineLimit = 64 * 1024;
constexpr std::size_t kLineKeep = kLineLimit / 2;
std::string left_out_marker(uint64_t n);

// Where valid UTF-8 `text` of n bytes is cut: it keeps [0, head) and
// [tail, n); false when it fits in `limit` and stays whole.
bool cut_points(const unsigned char *text, std::size_t n, std::size_t limit, std::size_t &head, std::size_t &tail);

// The line of `in` that starts at `a` and ends before the first CR or LF
// (at `end`) or at the end of the input (`at_eof`; `unfinished` bytes of a
// character cut off there are dropped), decoded with errors="ignore" and,
// when `is_space` is given, stripped of the characters it names.  Read in
// chunks: memory stays within a few times kLineLimit whatever the line's
// length.  `head` is the whole text when it fits in `limit` (`left_out` 0,
// `tail` empty), else the kept start and end.  Throws ReadError.
struct BoundedLine {
    std::string head, tail;
    uint64_t left_out = 0;
    uint64_t end = 0;
    bool at_eof = false;
    std::size_t unfinished = 0;
    bool cut() const { return left_out != 0; }
    // The line as it is answered: valid UTF-8.
    std::string text() const { return cut() ? head + left_out_marker(left_out) + tail : head; }
};
void bounded_line(const Input &in, const Kernels &k, uint64_t a, std::size_t limit, bool (*is_space)(uint32_t),
                  BoundedLine &out);

// Lines first, first + 1, ... of what count_lines counted, as ranges [a, b)
// of input offsets (terminators excluded), found by reading in chunks, so
// that long lines are never held in memory.  Throws ReadError.
void tail_ranges(const Input &in, const Kernels &k, const Count &count, uint64_t first,
                 std::vector<std::pair<uint64_t, uint64_t>> &out);

// Calls fn(base, cr, lf, high) for each 64-byte block p[base, base + 64) of
// p[0, n), in order, with the masks of its CR bytes, LF bytes and bytes
// >= 0x80 (bit i for p[base + i]); a short last block is padded with zeros.
template <class F>
void for_each_block(const Kernels &k, const unsigned char *p, std::size_t n, F &&fn) {
    unsigned char block[64];
    for (std::size_t base = 0; base < n; base += 64) {
        const unsigned char *b = p + base;
        const std::size_t len = n - base < 64 ? n - base : 64;
        if (len < 64) {
            for (std::size_t i = 0; i < 64; ++i) block[i] = i < len ? b[i] : 0;
            b = block;
        }
        uint64_t cr, lf, high;
        k.masks(b, cr, lf, high);
        fn(base, cr, lf, high);
    }
}

// Calls fn(i) for each CR or LF byte p[i] of p[0, n), in order.
template <class F>
void for_each_terminator(const Kernels &k, const unsigned char *p, std::size_t n, F &&fn) {
    for_each_block(k, p, n, [&](std::size_t base, uint64_t cr, uint64_t lf, uint64_t) {
        for (uint64_t m = cr | lf; m; m &= m - 1) fn(base + static_cast<std::size_t>(__builtin_ctzll(m)));
    });
}

}  // namespace scanner
}  // namespace opsdeck
