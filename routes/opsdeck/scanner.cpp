// Line counting and tail collection over the per-ISA kernels, the scalar
// kernels, and the choice of path (see scanner.h).
#include "scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <new>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace opsdeck::scanner {
namespace {

// ---- scalar kernels ----------------------------------------------------------

uint64_t count_scalar(const unsigned char *p, std::size_t n, bool &suspect) {
    const unsigned char *before = p - 1;  // before[i] is the byte preceding p[i]
    uint64_t terms = 0;
    bool odd = false;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = p[i], a = before[i];
        terms += (b == '\r') | ((b == '\n') & (a != '\r'));
        odd |= (a == '\r') & (b >= 0x80);
    }
    suspect |= odd;
    return terms;
}

void masks_scalar(const unsigned char *p, uint64_t &cr, uint64_t &lf, uint64_t &high) {
    cr = lf = high = 0;
    for (unsigned i = 0; i < 64; ++i) {
        cr |= static_cast<uint64_t>(p[i] == '\r') << i;
        lf |= static_cast<uint64_t>(p[i] == '\n') << i;
        high |= static_cast<uint64_t>(p[i] >> 7) << i;
    }
}

std::size_t suspects_scalar(const unsigned char *p, std::size_t n, uint32_t *out) {
    const unsigned char *before = p - 1;
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (before[i] == '\r' && p[i] >= 0x80) out[k++] = static_cast<uint32_t>(i);
    return k;
}

// Bytes counted per kernel call: a segment with a CR followed by a byte
// >= 0x80 is looked at again, and only that segment.
constexpr std::size_t kSegment = 4096;

// Reads through `in` with a small window: the byte at an offset with at
// least 4 bytes after it, or all that is left before the end.
class Cursor {
public:
    Cursor(const Input &in, const unsigned char *view, uint64_t view_offset, std::size_t view_len)
        : in_(in), w_(view), off_(view_offset), len_(view_len) {}

    // Pointer to the byte at x and the end of what is readable after it;
    // nullptr at the end of the input.
    const unsigned char *at(uint64_t x, const unsigned char *&end) {
        if (x < off_ || x + 4 > off_ + len_) {
            if (!(at_end_ && x >= off_ && x <= off_ + len_)) {
                len_ = in_.read_at(x, buf_, sizeof buf_);
                w_ = buf_;
                off_ = x;
                at_end_ = len_ < sizeof buf_;
            }
        }
        if (x >= off_ + len_) return nullptr;
        end = w_ + len_;
        return w_ + (x - off_);
    }

private:
    const Input &in_;
    const unsigned char *w_;
    uint64_t off_;
    std::size_t len_;
    bool at_end_ = false;
    unsigned char buf_[4096];
};

// For a CR just before `x` followed by a byte >= 0x80: the offset of an LF
// reached over dropped bytes only (the two then make one terminator), or
// kNone when a character is kept first, another ASCII byte comes, or the
// input ends.
uint64_t lf_after_dropped(Cursor &cur, uint64_t x) {
    for (;;) {
        const unsigned char *end = nullptr;
        const unsigned char *p = cur.at(x, end);
        if (!p) return kNone;
        if (*p < 0x80) return *p == '\n' ? x : kNone;
        if (utf8_sequence(p, end) > 0) return kNone;
        ++x;  // dropped; an unfinished sequence here is cut off by the end
    }
}

// Whether anything from x to the end of the input survives decoding.
bool keeps_a_byte(Cursor &cur, uint64_t x) {
    for (;;) {
        const unsigned char *end = nullptr;
        const unsigned char *p = cur.at(x, end);
        if (!p) return false;
        if (*p < 0x80 || utf8_sequence(p, end) > 0) return true;
        ++x;
    }
}

}  // namespace

const Kernels scalar_kernels = {Isa::scalar, count_scalar, masks_scalar, suspects_scalar};

// ---- choice of path ----------------------------------------------------------

const char *name(Isa isa) {
    switch (isa) {
    case Isa::sse2: return "sse2";
    case Isa::avx2: return "avx2";
    case Isa::neon: return "neon";
    default: return "scalar";
    }
}

bool available(Isa isa) {
    switch (isa) {
    case Isa::scalar: return true;
#if defined(__x86_64__)
    case Isa::sse2: return true;
    case Isa::avx2: return __builtin_cpu_supports("avx2");
#elif defined(__aarch64__)
    case Isa::neon: return true;
#endif
    default: return false;
    }
}

const Kernels &kernels(Isa isa) {
    switch (isa) {
#if defined(__x86_64__)
    case Isa::sse2: return sse2_kernels;
    case Isa::avx2: return avx2_kernels;
#elif defined(__aarch64__)
    case Isa::neon: return neon_kernels;
#endif
    default: return scalar_kernels;
    }
}

namespace {

const Kernels &choose() {
    Isa best = Isa::scalar;
    for (Isa isa : {Isa::sse2, Isa::avx2, Isa::neon})
        if (available(isa)) best = isa;
    const char *wanted = std::getenv("ZETADESK_SCANNER");
    if (!wanted || !*wanted) return kernels(best);
    // Set by tests and by whoever compares paths: say which one runs.
    for (Isa isa : {Isa::scalar, Isa::sse2, Isa::avx2, Isa::neon}) {
        if (std::strcmp(wanted, name(isa)) == 0 && available(isa)) {
            std::fprintf(stderr, "zetadesk: log scanner %s\n", name(isa));
            return kernels(isa);
        }
    }
    std::fprintf(stderr, "zetadesk: log scanner %s is not available here, using %s\n", wanted, name(best));
    return kernels(best);
}

}  // namespace

const Kernels &active() {
    static const Kernels &chosen = choose();
    return chosen;
}

// ---- scratch memory ----------------------------------------------------------

// From how many expected bytes a mapping asks for huge pages.  Fresh small
// pages cost the kernel an allocation and an accounting step each: for a
// burst of megabytes that is slower than reading them (about 2 ms for 6 MB
// here), where a few huge pages cost little more than zeroing.  Small reads
// keep small pages, so a line or two never costs a 2 MiB page.
#if defined(MADV_HUGEPAGE)  // Linux and Android only
constexpr std::size_t kHugeFrom = 4 * 1024 * 1024;
#endif

void Buffer::reset(std::size_t n, std::size_t expect) {
    release();
    if (n == 0) return;
#if !defined(_WIN32)
    if (n >= 64 * 1024) {
        void *m = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
        // Only advice: without huge pages the mapping works the same.
        if (expect >= kHugeFrom) madvise(m, n, MADV_HUGEPAGE);
#endif
        p_ = static_cast<unsigned char *>(m);
        size_ = capacity_ = n;
        mapped_ = true;
        return;
    }
#endif
    (void)expect;
    p_ = static_cast<unsigned char *>(std::malloc(n));
    if (!p_) throw std::bad_alloc();
    size_ = capacity_ = n;
}

void Buffer::release() {
    if (!p_) return;
#if !defined(_WIN32)
    if (mapped_) {
        // munmap wants the length mapped, which shrink() does not change.
        munmap(p_, capacity_);
    } else
#endif
        std::free(p_);
    p_ = nullptr;
    size_ = capacity_ = 0;
    mapped_ = false;
}

// ---- reading -------------------------------------------------------------------

std::size_t Input::read_at(uint64_t offset, unsigned char *buf, std::size_t n) const {
    // An empty read may come with an empty buffer, which has no address.
    if (n == 0 || offset >= limit) return 0;
    if (limit - offset < n) n = static_cast<std::size_t>(limit - offset);
    if (window && offset >= window_offset) {
        std::memcpy(buf, window + (offset - window_offset), n);
        return n;
    }
    if (fd < 0) {
        if (offset >= data_size) return 0;
        const std::size_t len = static_cast<std::size_t>(std::min<uint64_t>(n, data_size - offset));
        std::memcpy(buf, data + offset, len);
        return len;
    }
#if defined(_WIN32)
    // Windows builds read log files through Python's open (modframe.h).
    throw ReadError{ENOSYS};
#else
    std::size_t done = 0;
    while (done < n) {
        const ssize_t got = pread(fd, buf + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw ReadError{errno};
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
#endif
}

// ---- counting --------------------------------------------------------------------

namespace {

// The count of in[begin, end) (end kNone: up to the end of the input), as
// count_lines would make it had it started at `begin` with nothing counted:
// checkpoints hold terms relative to the part.  Reading may look beyond
// `end` (an LF after dropped bytes), never before `begin` - 1.
struct PartCount {
    uint64_t counted = 0;      // terminators; a CR LF over dropped bytes is taken off at its CR
    uint64_t pair_lf = kNone;  // the LF of the last such pair
    uint64_t last_seg = kNone; // the last segment holding a CR or LF byte
    std::size_t last_seg_len = 0;
    uint64_t stop = 0;         // where reading found the end
    std::vector<Checkpoint> checkpoints;
    Buffer last_chunk;         // holds the bytes [last_offset, stop) at offset 64
    uint64_t last_offset = kNone;
    int err = 0;
};

void count_part(const Input &in, const Kernels &k, std::size_t chunk, uint64_t begin, uint64_t end, PartCount &c) {
    // The chunk starts on a cache line: the kernel's copy into an odd
    // address costs about a tenth more.  The byte before it is p[-1].
    Buffer mem(chunk + 64);
    unsigned char *const buf = mem.data() + 64;
    buf[-1] = 0;
    if (begin > 0 && in.read_at(begin - 1, buf - 1, 1) != 1) {
        c.stop = begin;  // the input ended before this part
        return;
    }
    Input part = in;
    part.limit = std::min(in.limit, end);
    uint64_t off = begin;
    for (;;) {
        const std::size_t got = part.read_at(off, buf, chunk);
        if (got == 0) break;
        Cursor cur(in, buf, off, got);

        Checkpoint cp{off, c.counted, kNone};
        if (c.pair_lf != kNone && c.pair_lf >= off) {
            cp.skip_lf = c.pair_lf;
            cp.terms += 1;  // its CR is before `off`, its correction already made
        } else if (buf[-1] == '\r') {
            if (buf[0] == '\n')
                cp.skip_lf = off;
            else if (buf[0] >= 0x80)
                cp.skip_lf = lf_after_dropped(cur, off);
        }
        c.checkpoints.push_back(cp);

        for (std::size_t s = 0; s < got; s += kSegment) {
            const std::size_t len = std::min(kSegment, got - s);
            const unsigned char *p = buf + s;
            bool suspect = false;
            const uint64_t t = k.count(p, len, suspect);
            c.counted += t;
            if (t || (p[-1] == '\r' && p[0] == '\n')) c.last_seg = off + s, c.last_seg_len = len;
            if (!suspect) continue;
            // Each CR followed by a byte >= 0x80: does its LF come after dropped bytes?
            uint32_t at[kSegment + kSuspectSlack];
            const std::size_t found = k.suspects(p, len, at);
            for (std::size_t j = 0; j < found; ++j) {
                const std::size_t i = s + at[j];
                // Mostly a character right after the CR: kept, so no pair.
                if (i + 4 <= got && utf8_sequence(buf + i, buf + i + 4) > 0) continue;
                const uint64_t lf_at = lf_after_dropped(cur, off + i);
                if (lf_at != kNone) {
                    --c.counted;
                    c.pair_lf = lf_at;
                }
            }
        }
        c.last_offset = off;
        off += got;
        buf[-1] = buf[got - 1];
    }
    c.stop = off;
    // The read that found the end changed nothing: buf holds the last chunk.
    if (c.last_offset != kNone) c.last_chunk = std::move(mem);
}

// Runs count_part for each part, parts 1.. on threads of their own while
// the calling thread counts part 0; a part whose thread cannot start is
// counted here afterwards.  No exception leaves before every thread is joined.
void count_parts(const Input &in, const Kernels &k, std::size_t chunk, const std::vector<uint64_t> &bounds,
                 std::vector<PartCount> &parts) {
    auto run = [&](std::size_t j) {
        parts[j].err = reading([&] { count_part(in, k, chunk, bounds[j], bounds[j + 1], parts[j]); });
    };
    std::vector<std::thread> threads;
    std::vector<std::size_t> left;
    for (std::size_t j = 1; j < parts.size(); ++j) {
        try {
            threads.emplace_back(run, j);
        } catch (const std::exception &) {  // no thread (system_error), or no memory for one
            left.push_back(j);
        }
    }
    run(0);
    for (std::thread &t : threads) t.join();
    for (std::size_t j : left) run(j);
}

}  // namespace

unsigned scan_parts(uint64_t size) {
    const uint64_t by_size = size / kPartMin;
    if (by_size < 2) return 1;  // most requests: no need to ask for the CPUs
    unsigned cpus = 0;
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<unsigned>(CPU_COUNT(&set));
#endif
    if (cpus == 0) cpus = std::thread::hardware_concurrency();
    return static_cast<unsigned>(std::max<uint64_t>(1, std::min<uint64_t>({cpus, kMaxParts, by_size})));
}

Count count_lines(const Input &in, const Kernels &k, std::size_t chunk, unsigned parts, uint64_t size) {
    // Part j is [bounds[j], bounds[j + 1]); the last one reads on to the end.
    if (parts < 1 || size < parts) parts = 1;
    std::vector<uint64_t> bounds;
    for (unsigned j = 0; j < parts; ++j) bounds.push_back(size / parts * j);
    bounds.push_back(kNone);
    std::vector<PartCount> counts(parts);
    count_parts(in, k, chunk, bounds, counts);

    // Joined in order, as one reading from the start would have counted.
    // Between a CR and the LF it pairs with over dropped bytes there is
    // nothing but bytes >= 0x80, so no part sees a pair of its own before
    // a pair from earlier parts ends.
    Count c;
    uint64_t base = 0, pair_lf = kNone, last_seg = kNone;
    std::size_t last_seg_len = 0;
    for (unsigned j = 0; j < parts; ++j) {
        PartCount &part = counts[j];
        if (part.err) throw ReadError{part.err};
        for (Checkpoint cp : part.checkpoints) {
            cp.terms += base;
            if (pair_lf != kNone && pair_lf >= cp.offset) cp.skip_lf = pair_lf, cp.terms += 1;
            c.checkpoints.push_back(cp);
        }
        base += part.counted;
        if (part.pair_lf != kNone) pair_lf = part.pair_lf;
        if (part.last_seg != kNone) last_seg = part.last_seg, last_seg_len = part.last_seg_len;
        c.size = part.stop;
        if (part.last_offset != kNone) {
            c.window = std::move(part.last_chunk);
            c.window_data = c.window.data() + 64;
            c.window_offset = part.last_offset;
        }
        if (part.stop < bounds[j + 1]) break;  // the input ended here (shrunk while read)
    }
    c.terms = base;
    if (c.checkpoints.empty()) c.checkpoints.push_back({0, 0, kNone});

    // The rest after the last CR or LF byte: a line when it keeps a character.
    const Input upto = c.counted(in);
    uint64_t tail = 0;
    if (last_seg != kNone) {
        std::vector<unsigned char> seg(last_seg_len);
        const std::size_t n = upto.read_at(last_seg, seg.data(), last_seg_len);
        std::size_t i = n;
        while (i > 0 && seg[i - 1] != '\r' && seg[i - 1] != '\n') --i;
        tail = last_seg + i;
    }
    Cursor cur(upto, nullptr, 0, 0);
    c.tail_kept = keeps_a_byte(cur, tail);
    return c;
}

// ---- the live stream's read -----------------------------------------------------

namespace {

// Drops the invalid bytes of p[0, n) in place; returns the kept length.
std::size_t drop_invalid(unsigned char *p, std::size_t n) {
    std::size_t r = 0;
    // Nothing moves before the first byte >= 0x80.
    while (n - r >= 8) {
        uint64_t word;
        std::memcpy(&word, p + r, 8);
        if (word & 0x8080808080808080ull) break;
        r += 8;
    }
    std::size_t w = r;
    while (r < n) {
        if (p[r] < 0x80) {
            p[w++] = p[r++];
            continue;
        }
        const int len = utf8_sequence(p + r, p + n);
        if (len > 0) {
            std::memmove(p + w, p + r, static_cast<std::size_t>(len));
            w += static_cast<std::size_t>(len);
            r += static_cast<std::size_t>(len);
        } else {
            ++r;  // invalid, or unfinished where a piece ends: dropped
        }
    }
    return w;
}

}  // namespace

void read_pieces(const Input &in, const Kernels &k, uint64_t offset, std::size_t cap, Pieces &out,
                 uint64_t expect) {
    out.pieces.clear();
    out.consumed = 0;
    // Only the pages the read touches become memory.
    out.text.reset(cap, static_cast<std::size_t>(std::min<uint64_t>(expect, cap)));
    unsigned char *const p = out.text.data();
    const std::size_t got = in.read_at(offset, p, cap);
    out.text.shrink(got);
    std::size_t use = before_unfinished(p, got);
    if (got == cap) {
        unsigned char probe;
        if (in.read_at(offset + got, &probe, 1) == 1) {
            // More follows: stop after the last line break, so no line is
            // cut in two by the cap.
            std::size_t last = got;
            while (last > 0 && p[last - 1] != '\r' && p[last - 1] != '\n') --last;
            if (last > 0) use = last;
        }
    }
    // A piece without a byte >= 0x80 has nothing to drop: the masks that
    // find the terminators tell that too, so ASCII pieces skip the decoder.
    std::size_t start = 0;
    std::size_t high_end = 0;  // one past the last byte >= 0x80 seen, 0 when none
    auto piece = [&](std::size_t end) {
        const std::size_t kept = high_end > start ? drop_invalid(p + start, end - start) : end - start;
        out.pieces.emplace_back(start, start + kept);
        start = end + 1;
    };
    for_each_block(k, p, use, [&](std::size_t base, uint64_t cr, uint64_t lf, uint64_t high) {
        for (uint64_t m = cr | lf; m; m &= m - 1) {
            const unsigned i = static_cast<unsigned>(__builtin_ctzll(m));
            if (const uint64_t below = high & ((uint64_t{1} << i) - 1))
                high_end = base + 64 - static_cast<std::size_t>(__builtin_clzll(below));
            piece(base + i);
        }
        if (high) high_end = base + 64 - static_cast<std::size_t>(__builtin_clzll(high));
    });
    piece(use);
    out.consumed = use;
}


// ---- bounded lines -------------------------------------------------------------

std::string left_out_marker(uint64_t n) { return " [... " + std::to_string(n) + " bytes left out ...] "; }

bool cut_points(const unsigned char *text, std::size_t n, std::size_t limit, std::size_t &head, std::size_t &tail) {
    if (n <= limit) return false;
    const std::size_t keep = limit / 2;
    head = 0;
    for (;;) {
        const std::size_t len = static_cast<std::size_t>(text[head] < 0x80 ? 1 : text[head] < 0xE0 ? 2 : text[head] < 0xF0 ? 3 : 4);
        if (head + len > keep) break;
        head += len;
    }
    tail = n;
    for (;;) {
        std::size_t q = tail - 1;
        while ((text[q] & 0xC0) == 0x80) --q;
        if (n - q > keep) break;
        tail = q;
    }
    return true;
}

namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Whether the 8 bytes of w are ASCII without CR or LF and, when `spaces`,
// without any byte below 0x21 (where every ASCII space lies).
bool plain_word(uint64_t w, bool spaces) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    if (w & highs) return false;
    if (zero_byte(w ^ (ones * '\r')) | zero_byte(w ^ (ones * '\n'))) return false;
    return !spaces || !((w - ones * 0x21) & highs);
}

// Decodes in[from, to) with errors="ignore" a chunk at a time, calling
// fn(offset, p, len) for each kept character until fn returns false; `from`
// must be where decoding the whole line would also be (its start, or a byte
// that is no continuation byte).  Returns where it stopped: the offset of
// the character fn refused, or `to`.  A character cut off by `to` is dropped.
template <class F>
uint64_t decode_range(const Input &in, uint64_t from, uint64_t to, F &&fn) {
    constexpr std::size_t kStep = 64 * 1024;
    Buffer mem(kStep + 4);
    unsigned char *const buf = mem.data();
    uint64_t pos = from;
    while (pos < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(kStep + 3, to - pos));
        const std::size_t got = in.read_at(pos, buf, want);
        if (got == 0) return to;
        const bool last = pos + got >= to || got < want;
        const std::size_t stop = last ? got : std::min(got, kStep);
        std::size_t i = 0;
        while (i < stop) {
            if (buf[i] < 0x80) {
                if (!fn(pos + i, buf + i, 1)) return pos + i;
                ++i;
                continue;
            }
            const int len = utf8_sequence(buf + i, buf + got);
            if (len <= 0) {
                ++i;  // dropped (a sequence cut off by `to` too)
                continue;
            }
            if (!fn(pos + i, buf + i, static_cast<std::size_t>(len))) return pos + i;
            i += static_cast<std::size_t>(len);
        }
        pos += i;
        if (last) break;
    }
    return to;
}

// Where the longest suffix of the text of in[lo, end) that fits in `budget`
// bytes starts (an offset at which decoding agrees with decoding from lo);
// `end` for none.  Read backwards a block at a time from `end`, which must
// be where decoding from lo also is.
uint64_t suffix_start(const Input &in, uint64_t lo, uint64_t end, std::size_t budget) {
    std::size_t acc = 0;
    uint64_t start = end;
    std::size_t block = 4096;
    std::vector<std::pair<uint64_t, std::size_t>> chars;
    unsigned char b;
    while (end > lo) {
        const uint64_t x = end - std::min<uint64_t>(end - lo, std::max(block, budget - acc + 4));
        // Decoding is in step at every byte that is no continuation byte.
        uint64_t sync = x;
        if (x > lo)
            while (sync < end && in.read_at(sync, &b, 1) == 1 && continuation(b)) ++sync;
        if (sync >= end) {  // nothing but continuation bytes: look further back
            block *= 2;
            continue;
        }
        chars.clear();
        decode_range(in, sync, end, [&](uint64_t at, const unsigned char *, std::size_t len) {
            chars.emplace_back(at, len);
            return true;
        });
        for (auto c = chars.rbegin(); c != chars.rend(); ++c) {
            if (acc + c->second > budget) return start;
            acc += c->second;
            start = c->first;
        }
        end = sync;
    }
    return start;
}

}  // namespace

void bounded_line(const Input &in, const Kernels &k, uint64_t a, std::size_t limit, bool (*is_space)(uint32_t),
                  BoundedLine &out) {
    out = BoundedLine{};
    const std::size_t keep = limit / 2;
    // One pass forward: where the line ends, the text's size, its first
    // `limit` bytes and the end of the head; leading spaces skipped, the
    // trailing run of spaces measured.
    uint64_t total = 0, trailing = 0, content_end = a, head_end = a;
    bool leading = is_space != nullptr, head_open = true, first_open = true;
    std::size_t head_bytes = 0;
    std::string first;
    constexpr std::size_t kStep = 64 * 1024;
    Buffer mem(kStep + 4);
    unsigned char *const buf = mem.data();
    uint64_t pos = a;
    for (;;) {
        const std::size_t got = in.read_at(pos, buf, kStep + 3);
        const bool eof = got < kStep + 3;
        const std::size_t stop = eof ? got : kStep;
        std::size_t i = 0;
        bool ended = false;
        while (i < stop) {
            // Past what is kept of the start, plain ASCII runs only count.
            if (!first_open && !head_open && !leading) {
                std::size_t run = i;
                if (!is_space) {  // a block of 64 at a time where no space is looked for
                    uint64_t cr, lf, high;
                    while (stop - run >= 64) {
                        k.masks(buf + run, cr, lf, high);
                        if (cr | lf | high) break;
                        run += 64;
                    }
                }
                while (stop - run >= 8) {
                    uint64_t w;
                    std::memcpy(&w, buf + run, 8);
                    if (!plain_word(w, is_space != nullptr)) break;
                    run += 8;
                }
                if (run > i) {
                    total += run - i, trailing = 0, content_end = pos + run;
                    i = run;
                    continue;
                }
            }
            const unsigned char c = buf[i];
            if (c == '\r' || c == '\n') {
                ended = true;
                break;
            }
            int len = 1;
            if (c >= 0x80) {
                len = utf8_sequence(buf + i, buf + got);
                if (len < 0 && eof) {  // cut off by the end of the file
                    out.unfinished = got - i;
                    i = got;
                    break;
                }
                if (len <= 0) {
                    ++i;
                    continue;
                }
            }
            const auto n = static_cast<std::size_t>(len);
            const bool space = is_space && is_space(c < 0x80 ? c : decode_utf8(buf + i, len));
            if (!(leading && space)) {
                leading = false;
                total += n;
                if (space) {
                    trailing += n;
                } else {
                    trailing = 0;
                    content_end = pos + i + n;
                }
                // The longest prefixes that fit: the first character that
                // does not closes each.
                if (first_open && first.size() + n <= limit)
                    first.append(reinterpret_cast<const char *>(buf + i), n);
                else
                    first_open = false;
                if (head_open && head_bytes + n <= keep)
                    head_bytes += n, head_end = pos + i + n;
                else
                    head_open = false;
            }
            i += n;
        }
        pos += i;
        if (ended || eof) {
            out.end = pos;
            out.at_eof = !ended;
            break;
        }
    }
    const uint64_t text = total - trailing;
    if (text <= limit) {
        first.resize(static_cast<std::size_t>(text));
        out.head = std::move(first);
        return;
    }
    first.resize(head_bytes);
    out.head = std::move(first);
    const uint64_t from = suffix_start(in, head_end, content_end, keep);
    decode_range(in, from, content_end, [&](uint64_t, const unsigned char *p, std::size_t n) {
        out.tail.append(reinterpret_cast<const char *>(p), n);
        return true;
    });
    out.left_out = text - out.head.size() - out.tail.size();
}

void tail_ranges(const Input &in, const Kernels &k, const Count &count, uint64_t first,
                 std::vector<std::pair<uint64_t, uint64_t>> &out) {
    out.clear();
    if (first >= count.lines()) return;
    const std::vector<Checkpoint> &cps = count.checkpoints;
    std::size_t c = 0;
    while (c + 1 < cps.size() && cps[c + 1].terms < first) ++c;
    const Checkpoint from = cps[c];
    const Input upto = count.counted(in);
    Cursor cur(upto, nullptr, 0, 0);
    Buffer mem(kChunk);
    uint64_t terms = from.terms, line_start = from.offset, skip = from.skip_lf;
    for (uint64_t off = from.offset; off < count.size;) {
        // Reads stop at checkpoints; the span to the next one is skipped
        // when the count found no terminator in it (the middle of a long
        // line) and no LF of a CR LF pair is awaited there.
        while (c + 1 < cps.size() && cps[c + 1].offset <= off) ++c;
        const bool at_checkpoint = cps[c].offset == off && c + 1 < cps.size();
        if (at_checkpoint && cps[c + 1].terms == cps[c].terms && (skip == kNone || skip < off)) {
            off = cps[c + 1].offset;
            continue;
        }
        const uint64_t next = c + 1 < cps.size() && cps[c + 1].offset > off ? cps[c + 1].offset : kNone;
        const std::size_t n = upto.read_at(off, mem.data(), static_cast<std::size_t>(std::min<uint64_t>(kChunk, next - off)));
        if (n == 0) break;
        const unsigned char *const p = mem.data();
        for_each_terminator(k, p, n, [&](std::size_t i) {
            const uint64_t x = off + i;
            if (x == skip) {  // second half of a CR LF: the next line starts after it
                line_start = x + 1;
                return;
            }
            if (terms >= first) out.emplace_back(line_start, x);
            ++terms;
            line_start = x + 1;
            if (p[i] != '\r') return;
            const unsigned char *end = nullptr;
            const unsigned char *next = i + 1 < n ? p + i + 1 : cur.at(x + 1, end);
            if (!next) return;
            if (*next == '\n')
                skip = x + 1;
            else if (*next >= 0x80)
                skip = lf_after_dropped(cur, x + 1);
        });
        off += n;
    }
    if (count.tail_kept && terms >= first && line_start < count.size) out.emplace_back(line_start, count.size);
}

}  // namespace opsdeck::scanner
