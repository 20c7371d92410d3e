// The fast path's input and output; the parsing is in fastpath_parse.cpp.
//
// stdin is only peeked at (pread on a file, tee(2) on a pipe) until the
// answer is settled, so handing over needs no replay: the interpreter reads
// the very bytes git sent.  Once the answer is written, stdin is consumed as
// far as the module's first read would have gone.
#include "fastpath.h"

#if defined(__linux__)

#include "fastpath_parse.h"
#include "no_home.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

extern char **environ;

namespace fastpath {
namespace {

// The answer (with the token) must go out in one atomic pipe write.
constexpr std::size_t answer_cap = PIPE_BUF;
constexpr std::size_t config_cap = 1 << 20;

char request_buf[stdin_chunk];
char config_buf[config_cap];
char answer_buf[answer_cap];

// What the module's first raw read of stdin would return right now.
struct Peek {
    std::size_t size = 0;
    bool eof = false;     // nothing follows: the module's next read gets 0
    bool pipe = false;
    off_t offset = 0;     // regular file: where that read starts
};

bool retry(long r) { return r < 0 && errno == EINTR; }

bool peek_file(Peek &p) {
    p.offset = lseek(0, 0, SEEK_CUR);
    if (p.offset < 0) return false;
    while (p.size < stdin_chunk) {
        ssize_t r = pread(0, request_buf + p.size, stdin_chunk - p.size, p.offset + off_t(p.size));
        if (retry(r)) continue;
        if (r < 0) return false;
        if (r == 0) {
            p.eof = true;
            break;
        }
        p.size += std::size_t(r);
    }
    return true;
}

// tee(2) copies the pipe's contents to a private pipe without consuming
// them.  Whether the writer is gone is read before the contents, so that no
// byte can arrive after a "hang-up" we act on.
bool peek_pipe(Peek &p) {
    pollfd pfd{0, POLLIN, 0};
    int r;
    while (retry(r = poll(&pfd, 1, -1))) {}
    if (r != 1 || (pfd.revents & (POLLERR | POLLNVAL))) return false;
    const bool hung_up = pfd.revents & POLLHUP;
    int available = 0;
    if (ioctl(0, FIONREAD, &available) < 0 || available < 0) return false;
    const std::size_t want = std::size_t(available) < stdin_chunk ? std::size_t(available) : stdin_chunk;
    p.pipe = true;
    p.eof = hung_up && want == std::size_t(available);
    if (want == 0) return p.eof;
    int copy[2];
    if (pipe2(copy, O_CLOEXEC) < 0) return false;
    bool ok = tee(0, copy[1], want, SPLICE_F_NONBLOCK) == ssize_t(want);
    while (ok && p.size < want) {
        ssize_t n = read(copy[0], request_buf + p.size, want - p.size);
        if (retry(n)) continue;
        ok = n > 0;
        if (ok) p.size += std::size_t(n);
    }
    close(copy[0]);
    close(copy[1]);
    return ok;
}

bool peek_stdin(Peek &p) {
    struct stat st;
    int flags = fcntl(0, F_GETFL);
    if (fstat(0, &st) < 0 || flags < 0 || (flags & O_ACCMODE) == O_WRONLY) return false;
    if (S_ISREG(st.st_mode)) return peek_file(p);
    // Non-blocking or packet-mode pipes read differently in Python.
    if (S_ISFIFO(st.st_mode) && !(flags & (O_NONBLOCK | O_DIRECT))) return peek_pipe(p);
    return false;  // terminals, sockets, devices: the interpreter's business
}

// Take what the module's read would have taken: the peeked bytes, which
// are ours alone to read.
void consume_stdin(const Peek &p) {
    if (!p.pipe) {
        lseek(0, p.offset + off_t(p.size), SEEK_SET);
        return;
    }
    for (std::size_t done = 0; done < p.size;) {
        ssize_t n = read(0, request_buf, p.size - done);
        if (retry(n)) continue;
        if (n <= 0) return;
        done += std::size_t(n);
    }
}

enum class Home { unsure, relative, absolute };

// os.path.expanduser("~/.zetadesk/config.json") when HOME is set once, to
// an absolute path (with two HOME entries we do not guess which one
// os.environ keeps).  The bytes go to open() unchanged, as Python's
// surrogateescape round trip gives them.  relative: HOME is set once but
// empty or relative, which the module takes as no configuration.
Home config_path(char *out, std::size_t cap) {
    const char *home = nullptr;
    for (char **e = environ; *e; ++e) {
        if (std::strncmp(*e, "HOME=", 5) != 0) continue;
        if (home) return Home::unsure;
        home = *e + 5;
    }
    if (!home) return Home::unsure;  // the password database: the module's business
    if (home[0] != '/') return Home::relative;
    std::string_view h(home);
    while (!h.empty() && h.back() == '/') h.remove_suffix(1);  // userhome.rstrip('/')
    constexpr std::string_view rest = "/.zetadesk/config.json";
    if (h.size() + rest.size() >= cap) return Home::unsure;
    std::memcpy(out, h.data(), h.size());
    std::memcpy(out + h.size(), rest.data(), rest.size());
    out[h.size() + rest.size()] = '\0';
    return Home::absolute;
}

// print(no_home_message, file=sys.stderr).  A failed write is ignored, as
// the module's guard ignores a failed print.
void say_no_home() {
    char line[sizeof no_home_message];
    std::memcpy(line, no_home_message, sizeof line - 1);
    line[sizeof line - 1] = '\n';
    ssize_t r;
    while (retry(r = write(2, line, sizeof line))) {}
}

enum class Config { unsure, none, token };

// _read_token(): the token goes to answer_buf + offset.
Config read_config(std::size_t offset, std::size_t *size) {
    char path[4096];
    switch (config_path(path, sizeof path)) {
    case Home::unsure: return Config::unsure;
    case Home::relative: say_no_home(); return Config::none;
    case Home::absolute: break;
    }
    // O_NONBLOCK: a FIFO in its place must not hang us (the module would
    // hang, and so will the interpreter we hand over to).
    int fd;
    while (retry(fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))) {}
    if (fd < 0) {
        // Python's open() fails the same way, and _read_token swallows it.
        const bool certain = errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == ELOOP ||
                             errno == ENAMETOOLONG;
        return certain ? Config::none : Config::unsure;
    }
    struct stat st;
    std::size_t n = 0;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (ok) {
        if (n == config_cap) {
            ok = false;
            break;
        }
        ssize_t r = read(fd, config_buf + n, config_cap - n);
        if (retry(r)) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        n += std::size_t(r);
    }
    close(fd);
    if (!ok) return Config::unsure;
    switch (read_token(std::string_view(config_buf, n), answer_buf + offset, answer_cap - offset, size)) {
    case Token::none: return Config::none;
    case Token::text: return Config::token;
    default: return Config::unsure;
    }
}

// print() of the three lines, flushed as one write.  A blocking pipe takes
// up to PIPE_BUF bytes whole or not at all, so a failed write leaves
// nothing behind and the interpreter can redo the run and report the error
// in its own words.
bool write_answer(std::size_t size) {
    struct stat st;
    int flags = fcntl(1, F_GETFL);
    if (fstat(1, &st) < 0 || !S_ISFIFO(st.st_mode) || flags < 0 || (flags & O_ACCMODE) == O_RDONLY ||
        (flags & O_NONBLOCK))
        return false;
    // As in the interpreter: a closed reader is EPIPE, not a signal.
    struct sigaction ignore{}, saved{};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, &saved) < 0) return false;
    ssize_t r;
    while (retry(r = write(1, answer_buf, size))) {}
    if (r == ssize_t(size)) return true;
    sigaction(SIGPIPE, &saved, nullptr);
    return false;
}

}  // namespace

bool answered(int argc, char **argv) {
    // store, erase and unknown actions do nothing and read nothing.
    if (argc > 1 && std::strcmp(argv[1], "get") != 0) return true;

    Peek peek;
    Request request;
    if (!peek_stdin(peek) ||
        parse_request(std::string_view(request_buf, peek.size), peek.eof, request) != Parse::complete)
        return false;
    switch (classify_host(request.has_host ? request.host : std::string_view())) {
    case Host::other: consume_stdin(peek); return true;  // the file is never opened
    case Host::unsure: return false;
    case Host::github: break;
    }
    // Answered only for https or no protocol at all; other protocols are
    // decided by the module.
    if (request.has_protocol && request.protocol != "https") return false;

    constexpr std::string_view head = "username=x-access-token\npassword=", tail = "\n\n";
    std::size_t token_size = 0;
    switch (read_config(head.size(), &token_size)) {
    case Config::unsure: return false;
    case Config::none: consume_stdin(peek); return true;
    case Config::token: break;
    }
    if (head.size() + token_size + tail.size() > answer_cap) return false;
    std::memcpy(answer_buf, head.data(), head.size());
    std::memcpy(answer_buf + head.size() + token_size, tail.data(), tail.size());
    if (!write_answer(head.size() + token_size + tail.size())) return false;
    consume_stdin(peek);  // the answer is out; nothing left to hand over
    return true;
}

}  // namespace fastpath

#else

namespace fastpath {
bool answered(int, char **) { return false; }
}  // namespace fastpath

#endif
