// GET /api/server/status: a fresh snapshot of the running server per call.
#include "opsdeck.h"

#include <cmath>
#include <cstdio>

namespace opsdeck {
namespace {

using namespace mf;

Site server_status_site{"server_status", __LINE__};

// round(value, 1) with the builtin (or a module global shadowing it).
Ref round_tenth(const Ref &round, PyObject *value) {
    Ref one = integer(1);
    return call(round, value, one);
}

// A size in `unit_bytes` units, in mebibytes rounded to a tenth.
Ref mebibytes(const Ref &round, const Ref &size, long long unit_bytes = 1024) {
    Ref divisor = integer(1024 * 1024 / unit_bytes);
    Ref mb = Ref::steal(PyNumber_TrueDivide(size.get(), divisor.get()));
    return round_tenth(round, mb.get());
}

// The unit of ru_maxrss: kibibytes on Linux and Android, bytes on macOS.
#if defined(__APPLE__)
constexpr long long maxrss_unit_bytes = 1;
#else
constexpr long long maxrss_unit_bytes = 1024;
#endif

// The (quotient, remainder) of divmod().
std::array<Ref, 2> pair(const Ref &t) {
    if (!PyTuple_Check(t.get()) || PyTuple_GET_SIZE(t.get()) != 2)
        raise(PyExc_TypeError, "divmod() did not return a pair");
    return {Ref::borrow(PyTuple_GET_ITEM(t.get(), 0)), Ref::borrow(PyTuple_GET_ITEM(t.get(), 1))};
}

// int(uptime), then hours and the rest by floor division (the remainder is
// never negative), so -5.5 s reads -5 and "-1h 59m 55s".
void split_uptime(const Ref &uptime, Ref &seconds_total, Ref &text) {
    if (PyFloat_CheckExact(uptime.get())) {
        const double value = PyFloat_AS_DOUBLE(uptime.get());
        // The common case in plain integers; anything larger, inf or nan
        // takes the general path below and its errors.
        if (std::fabs(value) < 9.0e15) {
            const long long total = static_cast<long long>(value);  // toward zero
            long long hours = total / 3600, rest = total % 3600;
            if (rest < 0) rest += 3600, hours -= 1;
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%lldh %lldm %llds", hours, rest / 60, rest % 60);
            seconds_total = integer(total);
            text = str(buffer);
            return;
        }
    }
    seconds_total = Ref::steal(PyNumber_Long(uptime.get()));
    Ref hour = integer(3600), minute = integer(60);
    auto [hours, rest] = pair(Ref::steal(PyNumber_Divmod(seconds_total.get(), hour.get())));
    auto [minutes, seconds] = pair(Ref::steal(PyNumber_Divmod(rest.get(), minute.get())));
    text = Ref::steal(PyUnicode_FromFormat("%Sh %Sm %Ss", hours.get(), minutes.get(), seconds.get()));
}

// Peak resident size from resource, else from ps, else "unknown".
Ref memory_usage(const Ref &resource) {
    Ref memory = dict({});
    Ref error = catch_ordinary([&] {
        Ref round = global("round"_id);
        Ref getrusage = attr(resource, "getrusage"_id);
        Ref usage = call(getrusage, attr(resource, "RUSAGE_SELF"_id));
        set_item(memory.get(), "rss_mb"_id,
                 mebibytes(round, attr(usage, "ru_maxrss"_id), maxrss_unit_bytes).get());
    });
    if (!error) return memory;
    error = catch_ordinary([&] {
        Ref round = global("round"_id);
        Ref os = global("os"_id);
        Ref command = Ref::steal(PyUnicode_FromFormat("ps -o rss= -p %S", current_pid().get()));
        Ref output = call_method(call_method(os, "popen"_id, command), "read"_id);
        Ref fields = call_method(call_method(output, "strip"_id), "split"_id);
        Ref first = Ref::steal(PySequence_GetItem(fields.get(), 0));
        Ref kib = Ref::steal(PyNumber_Long(first.get()));
        set_item(memory.get(), "rss_mb"_id, mebibytes(round, kib).get());
    });
    if (error) set_item(memory.get(), "rss_mb"_id, "unknown"_id);
    return memory;
}

// Managed processes whose entry says running (a missing entry counts as false).
Ref running_count() {
    Ref values = call_method(global("running_processes"_id), "values"_id);
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    long long count = 0;
    while (PyObject *raw_item = PyIter_Next(it.get())) {
        Ref item = Ref::adopt(raw_item);
        if (truthy(call_method(item, "get"_id, "running"_id, Py_False))) ++count;
    }
    if (PyErr_Occurred()) fail();
    // The total goes through `sum`, found at call time like any builtin.
    Ref ones = Ref::steal(PyList_New(0));
    for (long long i = 0; i < count; ++i) append(ones.get(), integer(1).get());
    return call(global("sum"_id), ones);
}

// `a, b, c = item`: exactly three parts, taking no more than four from an iterator.
std::array<Ref, 3> unpack3(PyObject *item) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(item);
        if (n != 3)
            raise_format(PyExc_ValueError, n < 3 ? "not enough values to unpack (expected 3, got %zd)"
                                                 : "too many values to unpack (expected 3, got %zd)",
                         n);
        PyObject **parts = PySequence_Fast_ITEMS(item);
        return {Ref::borrow(parts[0]), Ref::borrow(parts[1]), Ref::borrow(parts[2])};
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    std::array<Ref, 3> parts;
    for (int i = 0; i < 3; ++i) {
        PyObject *next = PyIter_Next(it.get());
        if (!next) {
            if (PyErr_Occurred()) fail();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
        }
        parts[i] = Ref::adopt(next);
    }
    if (PyObject *extra = PyIter_Next(it.get())) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    if (PyErr_Occurred()) fail();
    return parts;
}

// One entry per (host, family, label) of get_display_addresses(); any
// ordinary error replaces the whole list by the configured host.
Ref listen_addresses(const Ref &get_display_addresses, const Ref &socket) {
    Ref entries = list();
    Ref error = catch_ordinary([&] {
        Ref items = call(get_display_addresses);
        Ref it = Ref::steal(PyObject_GetIter(items.get()));
        while (PyObject *raw_item = PyIter_Next(it.get())) {
            Ref item = Ref::adopt(raw_item);
            auto [host, family, label] = unpack3(item.get());
            PyObject *family_text = equal(family.get(), attr(socket, "AF_INET6"_id).get()) ? "IPv6"_id : "IPv4"_id;
            append(entries.get(),
                   dict({{"address"_id, host.get()}, {"family"_id, family_text}, {"type"_id, label.get()}})
                       .get());
        }
        if (PyErr_Occurred()) fail();
    });
    if (!error) return entries;
    return list({dict({{"address"_id, global("HOST"_id).get()},
                       {"family"_id, "IPv4"_id},
                       {"type"_id, "unknown"_id}})
                     .get()});
}

}  // namespace

PyObject *server_status(PyObject *, PyObject *) {
    return boundary(server_status_site, [] {
        // Unguarded on purpose: a platform without resource fails the request.
        Ref resource = import_module("resource"_id);

        Ref now = call_method(global("time"_id), "time"_id);
        Ref uptime = Ref::steal(PyNumber_Subtract(now.get(), global("SERVER_START_TIME"_id).get()));
        Ref seconds_total, uptime_text;
        split_uptime(uptime, seconds_total, uptime_text);

        Ref memory = memory_usage(resource);
        Ref connected = running_count();

        auto [load_config, get_display_addresses] =
            import_from("utils"_id, "load_config"_id, "get_display_addresses"_id);
        Ref socket = import_module("socket"_id);
        Ref listen = listen_addresses(get_display_addresses, socket);

        Ref version = global("SERVER_VERSION"_id);
        Ref pid = current_pid();
        Ref port = global("PORT"_id);
        Ref host = global("HOST"_id);
        if (!truthy(host)) host = Ref::borrow("auto"_id);
        Ref sys = global("sys"_id);
        Ref python = Ref::steal(
            PySequence_GetItem(call_method(attr(sys, "version"_id), "split"_id).get(), 0));
        Ref platform = attr(sys, "platform"_id);
        Ref workspace = workspace_setting(load_config);

        return jsonify(dict({
            {"status"_id, "running"_id},
            {"version"_id, version.get()},
            {"uptime_seconds"_id, seconds_total.get()},
            {"uptime"_id, uptime_text.get()},
            {"pid"_id, pid.get()},
            {"port"_id, port.get()},
            {"host"_id, host.get()},
            {"listen_addresses"_id, listen.get()},
            {"python"_id, python.get()},
            {"platform"_id, platform.get()},
            {"workspace"_id, workspace.get()},
            {"memory"_id, memory.get()},
            {"connected_processes"_id, connected.get()},
            {"config_dir"_id, global("CONFIG_DIR"_id).get()},
            {"server_dir"_id, global("SERVER_DIR"_id).get()},
        }));
    });
}

}  // namespace opsdeck
