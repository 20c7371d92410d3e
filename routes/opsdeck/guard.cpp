// The check that runs before every view of the route group.
//
// Host names: a web page can re-point its own name at 127.0.0.1 (DNS
// rebinding) and then read this API as "same-origin".  Only names that
// cannot belong to someone else are served: IP literals, localhost, the
// host's own HOST and the names listed in the configuration's
// allowed_hosts.
//
// Cross-site state changes: a form or a no-cors fetch from any page in the
// user's browser reaches a local server without a preflight.  For methods
// that change state, the browser's own Sec-Fetch-Site (or, from older
// browsers, Origin against Host) decides; tools such as curl and git send
// neither header and pass.
//
// Access token: any local process (another user, any app on a phone) can
// reach 127.0.0.1.  When the host offers utils.ACCESS_TOKEN, every rule but
// /api/health asks for it, as "Authorization: Bearer <token>" (the page
// sends it too, from its own storage); what was wrong is never said.
#include "opsdeck.h"

#include <string>
#include <string_view>
#include <unordered_set>

namespace opsdeck {
namespace {

using namespace mf;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string lowered(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return out;
}

// Dotted-quad IPv4 as browsers write it: four decimal parts 0-255 without
// leading zeros.
bool is_ipv4(std::string_view s) {
    int parts = 0;
    while (true) {
        std::size_t n = 0;
        int value = 0;
        while (n < s.size() && n < 4 && is_digit(s[n])) value = value * 10 + (s[n++] - '0');
        if (n == 0 || n > 3 || (n > 1 && s[0] == '0') || value > 255) return false;
        ++parts;
        s.remove_prefix(n);
        if (s.empty()) return parts == 4;
        if (s[0] != '.' || parts == 4) return false;
        s.remove_prefix(1);
    }
}

// The text between the brackets of an IPv6 literal: eight groups of up to
// four hex digits, one "::" standing for one or more zero groups, an IPv4
// tail counting as two groups.  No zone identifier.
bool is_ipv6(std::string_view s) {
    int groups = 0;
    bool compressed = false;
    if (s.starts_with("::")) {
        compressed = true;
        s.remove_prefix(2);
        if (s.empty()) return true;
    }
    while (true) {
        std::size_t n = 0;
        while (n < s.size() && is_hex(s[n])) ++n;
        if (n < s.size() && s[n] == '.') {
            if (!is_ipv4(s)) return false;
            groups += 2;
            break;
        }
        if (n == 0 || n > 4) return false;
        ++groups;
        s.remove_prefix(n);
        if (s.empty()) break;
        if (s[0] != ':') return false;
        s.remove_prefix(1);
        if (!s.empty() && s[0] == ':') {
            if (compressed) return false;
            compressed = true;
            s.remove_prefix(1);
            if (s.empty()) break;
        } else if (s.empty()) {
            return false;
        }
    }
    return compressed ? groups < 8 : groups == 8;
}

// host[:port] of a Host header or an Origin.
struct Authority {
    bool valid = false;
    bool ip = false;   // an IPv4 or bracketed IPv6 literal
    std::string host;  // ASCII lower case, one trailing dot dropped; IPv6 keeps its brackets
    std::string port;  // digits; empty when absent
};

// Anything beyond letters, digits, "-", "." and "_" (userinfo, a path,
// percent-escapes, a second host joined by a comma, non-ASCII) makes the
// authority invalid: no browser sends such a Host or Origin.
Authority parse_authority(std::string_view s) {
    Authority a;
    std::string_view name, rest;
    if (s.starts_with('[')) {
        const std::size_t close = s.find(']');
        if (close == std::string_view::npos || !is_ipv6(s.substr(1, close - 1))) return a;
        name = s.substr(0, close + 1);
        rest = s.substr(close + 1);
        a.ip = true;
    } else {
        const std::size_t colon = s.find(':');
        name = s.substr(0, colon);
        if (colon != std::string_view::npos) rest = s.substr(colon);
    }
    if (!rest.empty()) {
        if (rest[0] != ':') return a;
        rest.remove_prefix(1);
        if (rest.size() > 5) return a;
        for (char c : rest)
            if (!is_digit(c)) return a;
        a.port = rest;
    }
    if (!a.ip) {
        if (name.ends_with('.')) name.remove_suffix(1);
        if (name.empty()) return a;
        for (char c : name)
            if (!is_alnum(c) && c != '-' && c != '.' && c != '_') return a;
        a.ip = is_ipv4(name);
    }
    a.host = lowered(name);
    a.valid = true;
    return a;
}

// A configured name (HOST, an allowed_hosts entry) in the form parse_authority gives.
bool names_host(PyObject *value, const std::string &host) {
    if (!PyUnicode_Check(value)) return false;
    std::string_view name = utf8(value);
    if (name.ends_with('.')) name.remove_suffix(1);
    return lowered(name) == host;
}

// Whether the configuration lists the name.  Read only for names that no
// other rule allows; an unreadable or malformed configuration allows nothing.
bool configured(const std::string &host) {
    bool found = false;
    catch_ordinary([&] {
        auto [load_config] = import_from("utils"_id, "load_config"_id);
        Ref config = call(load_config);
        Ref names = call_method(config, "get"_id, "allowed_hosts"_id);
        if (!PyList_Check(names.get())) return;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()) && !found; ++i) {
            Ref entry = Ref::steal(PyList_GetItemRef(names.get(), i));
            found = names_host(entry.get(), host);
        }
    });
    return found;
}

bool host_allowed(const Authority &a) {
    if (!a.valid) return false;
    if (a.ip || a.host == "localhost" || a.host.ends_with(".localhost")) return true;
    if (names_host(global("HOST"_id).get(), a.host)) return true;
    return configured(a.host);
}

// One warning line per refused name and process; the set is bounded, so a
// stream of made-up names neither floods the log nor grows memory.
constexpr std::size_t max_warned_names = 256;
PyMutex warned_lock{};
std::unordered_set<std::string> warned;

void warn_once(PyObject *shown) {
    std::string key(utf8(shown));
    {
        Locked held(warned_lock);
        if (warned.size() >= max_warned_names || !warned.insert(std::move(key)).second) return;
    }
    Ref line = Ref::steal(PyUnicode_FromFormat(
        "[guard] warning: host not allowed: %.200R (list it in allowed_hosts to serve this name)",
        shown));
    call(global("print"_id), line);
}

// The environ entry when it is text; an empty Ref when absent.
Ref environ_entry(PyObject *wsgi_env, PyObject *key) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(wsgi_env, key, &value) < 0) fail();
    Ref v = Ref::adopt(value);
    return v && PyUnicode_Check(v.get()) ? v : Ref();
}

bool changes_state(std::string_view method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

// Sec-Fetch-Site first; else Origin against Host; neither: not a browser.
bool cross_origin(PyObject *wsgi_env, const Authority &host) {
    if (Ref site = environ_entry(wsgi_env, "HTTP_SEC_FETCH_SITE"_id)) {
        std::string_view value = utf8(site.get());
        return value != "same-origin" && value != "none";
    }
    Ref origin_text = environ_entry(wsgi_env, "HTTP_ORIGIN"_id);
    if (!origin_text) return false;
    std::string_view origin = utf8(origin_text.get());
    std::string_view default_port;
    if (origin.starts_with("http://")) {
        origin.remove_prefix(7), default_port = "80";
    } else if (origin.starts_with("https://")) {
        origin.remove_prefix(8), default_port = "443";
    } else {
        return true;  // "null" (sandboxed pages, file: URLs) and anything else
    }
    Authority from = parse_authority(origin);
    if (!from.valid || !host.valid) return true;
    auto port = [&](const std::string &p) { return p == default_port ? std::string() : p; };
    return from.host != host.host || port(from.port) != port(host.port);
}

// Compares in a time that depends on the secret's length only, so an answer
// says nothing of how much of a guess was right.
bool same_secret(std::string_view given, std::string_view secret) {
    std::size_t diff = given.size() ^ secret.size();
    for (std::size_t i = 0; i < secret.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        diff |= g ^ static_cast<unsigned char>(secret[i]);
    }
    return diff == 0;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// "Bearer <token>" (the scheme in any case), and nothing else: a cookie
// would be sent by the browser on its own, to every port of the host.
bool presents(PyObject *wsgi_env, std::string_view secret) {
    Ref header = environ_entry(wsgi_env, "HTTP_AUTHORIZATION"_id);
    if (!header) return false;
    std::string_view value = trimmed(utf8(header.get()));
    return value.size() > 7 && lowered(value.substr(0, 7)) == "bearer " &&
           same_secret(trimmed(value.substr(7)), secret);
}

// The liveness check holds no secret and stays open.
bool open_rule() {
    Ref endpoint = attr(global("request"_id), "endpoint"_id);
    if (!PyUnicode_Check(endpoint.get())) return false;
    std::string_view name = utf8(endpoint.get());
    const std::size_t dot = name.rfind('.');
    return (dot == std::string_view::npos ? name : name.substr(dot + 1)) == "health_check";
}

// Whether the request may go on.  A host without ACCESS_TOKEN keeps the
// API as it was; one whose token is not a non-empty string lets nothing in.
bool authorized(PyObject *wsgi_env) {
    Ref token = import_optional("utils"_id, "ACCESS_TOKEN"_id);
    if (!token || open_rule()) return true;
    if (!PyUnicode_Check(token.get()) || PyUnicode_GET_LENGTH(token.get()) == 0) return false;
    return presents(wsgi_env, utf8(token.get()));
}

Site guard_site{"_check_request", __LINE__};

PyObject *check_request(PyObject *, PyObject *) {
    return boundary(guard_site, [] {
        Ref wsgi_env = attr(global("request"_id), "environ"_id);
        if (!PyDict_Check(wsgi_env.get())) raise(PyExc_TypeError, "request.environ is not a dict");
        // HTTP/1.0 tools may send no Host at all; browsers always do.
        Ref host_text = environ_entry(wsgi_env.get(), "HTTP_HOST"_id);
        Authority host;
        if (host_text) {
            host = parse_authority(utf8(host_text.get()));
            if (!host_allowed(host)) {
                Ref shown = host.valid ? str(host.host) : host_text;
                warn_once(shown.get());
                Ref text = Ref::steal(PyUnicode_FromFormat("host not allowed: %U", shown.get()));
                return error_response(text.get(), 403);
            }
        }
        if (!authorized(wsgi_env.get())) {
            // Bearer: the scheme a script uses; nothing of what was sent is echoed.
            Ref headers = dict({{"WWW-Authenticate"_id, "Bearer"_id}});
            return error_response("authentication required"_id, 401, headers.get());
        }
        Ref method = environ_entry(wsgi_env.get(), "REQUEST_METHOD"_id);
        if (method && changes_state(utf8(method.get())) && cross_origin(wsgi_env.get(), host))
            return error_response("cross-origin request refused"_id, 403);
        return none();  // Flask goes on to the view
    });
}

PyMethodDef guard_def = {
    "_check_request", check_request, METH_NOARGS,
    "_check_request()\n\nRefuse foreign host names, requests without the access token and cross-site "
    "state changes before any view runs."};

}  // namespace

void register_guard() {
    // bp.before_request(_check_request): the returned function is not bound to a name.
    call_method(global("bp"_id), "before_request"_id, function(&guard_def));
}

}  // namespace opsdeck
