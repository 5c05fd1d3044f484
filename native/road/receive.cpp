// receive_many: the datagrams waiting on the host's UDP socket, read with one
// recvmmsg call instead of one system call and one interpreter round trip
// each. A burst of the boards thus costs the loop one call per batch.
#include "road.hpp"

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/entry.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace road {
namespace {

// The (host, port) tuple of a sender; one batch comes from few senders, so
// the tuples of the batch are made once each.
struct Senders {
    struct Seen {
        sockaddr_storage addr;
        socklen_t len;
        PyObject* tuple;
    };
    std::vector<Seen> seen;

    ~Senders() {
        for (Seen& s : seen) Py_DECREF(s.tuple);
    }

    PyObject* of(const sockaddr_storage& addr, socklen_t len) {
        for (Seen& s : seen) {
            if (s.len == len && std::memcmp(&s.addr, &addr, len) == 0) return Py_NewRef(s.tuple);
        }
        char text[INET6_ADDRSTRLEN] = "";
        unsigned port = 0;
        if (addr.ss_family == AF_INET) {
            const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
            inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
            port = ntohs(a->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
            inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
            port = ntohs(a->sin6_port);
        }
        PyObject* tuple = Py_BuildValue("(sI)", text, port);
        if (tuple && seen.size() < 16) seen.push_back({addr, len, Py_NewRef(tuple)});
        return tuple;
    }
};

}  // namespace

PyObject* receive_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vt::Signature sig("receive_many", {"fd", "limit", "size"}, 1);
    PyObject* a[3];
    int32_t fd, limit = 256, size = 65536;
    if (!sig.parse(args, nargs, kwnames, a) || !vt::to_i32(a[0], fd) || (a[1] && !vt::to_i32(a[1], limit)) ||
        (a[2] && !vt::to_i32(a[2], size))) {
        return nullptr;
    }
    limit = std::max(1, std::min(limit, 1024));
    size = std::max(1, std::min(size, 65536));
    // Kept from call to call: the loop's thread reads the socket every few
    // milliseconds, and a fresh buffer of limit x size bytes each time would
    // cost more than the reading.
    static thread_local std::vector<char> buffer;
    static thread_local std::vector<iovec> iov;
    static thread_local std::vector<mmsghdr> msgs;
    static thread_local std::vector<sockaddr_storage> addrs;
    const size_t bytes = static_cast<size_t>(limit) * static_cast<size_t>(size);
    if (buffer.size() < bytes) buffer.resize(bytes);
    if (msgs.size() < static_cast<size_t>(limit)) {
        iov.resize(static_cast<size_t>(limit));
        msgs.resize(static_cast<size_t>(limit));
        addrs.resize(static_cast<size_t>(limit));
    }
    for (int k = 0; k < limit; ++k) {
        iov[k] = {buffer.data() + static_cast<size_t>(k) * static_cast<size_t>(size), static_cast<size_t>(size)};
        msgs[k] = {};
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
        msgs[k].msg_hdr.msg_name = &addrs[k];
        msgs[k].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    int got;
    Py_BEGIN_ALLOW_THREADS
    got = recvmmsg(fd, msgs.data(), static_cast<unsigned>(limit), MSG_DONTWAIT, nullptr);
    Py_END_ALLOW_THREADS
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return PyList_New(0);
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    vt::Ref out = vt::steal(PyList_New(got));
    if (!out) return nullptr;
    Senders senders;
    for (int k = 0; k < got; ++k) {
        vt::Ref data = vt::steal(PyBytes_FromStringAndSize(static_cast<char*>(iov[k].iov_base),
                                                           static_cast<Py_ssize_t>(msgs[k].msg_len)));
        vt::Ref sender = vt::steal(senders.of(addrs[k], msgs[k].msg_hdr.msg_namelen));
        if (!data || !sender) return nullptr;
        PyObject* pair = PyTuple_Pack(2, data.get(), sender.get());
        if (!pair) return nullptr;
        PyList_SET_ITEM(out.get(), k, pair);
    }
    return out.release();
}

}  // namespace road
