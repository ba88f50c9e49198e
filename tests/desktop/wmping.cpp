#include "wmping.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <xcb/xcb.h>

namespace {

xcb_connection_t *conn(void *p)
{
    return static_cast<xcb_connection_t *>(p);
}

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

} // namespace

bool WmPinger::start(std::uint32_t window, std::chrono::milliseconds interval, std::string *error)
{
    stop();
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        *error = "cannot reach the X display";
        return false;
    }
    m_connection = c;
    m_window = window;
    m_interval = interval;
    m_protocolsAtom = atom(c, "WM_PROTOCOLS");
    m_pingAtom = atom(c, "_NET_WM_PING");

    // A ping to a window that does not take it proves nothing.
    bool takesPing = false;
    xcb_get_property_reply_t *p = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, m_protocolsAtom, XCB_ATOM_ATOM, 0, 32), nullptr);
    if (p) {
        const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(p));
        const int n = xcb_get_property_value_length(p) / int(sizeof(xcb_atom_t));
        takesPing = std::find(atoms, atoms + n, m_pingAtom) != atoms + n;
        std::free(p);
    }
    if (!takesPing) {
        xcb_disconnect(c);
        m_connection = nullptr;
        *error = "the window does not list _NET_WM_PING in WM_PROTOCOLS";
        return false;
    }

    // The answers go to the root window, to the clients that listen for
    // its structure's changes or (the window manager) redirect its
    // children's; toolkit versions differ in which notify mask they name.
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    m_sentAt.clear();
    m_answeredAt.clear();
    m_stop = false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void WmPinger::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
    m_stoppedAt = Clock::now();
    xcb_disconnect(conn(m_connection));
    m_connection = nullptr;
}

void WmPinger::run()
{
    xcb_connection_t *c = conn(m_connection);
    Clock::time_point next = Clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
        }
        Clock::time_point now = Clock::now();
        if (now >= next) {
            // The toolkit sends the message back unchanged; its time field
            // carries the sequence number.
            xcb_client_message_event_t ping{};
            ping.response_type = XCB_CLIENT_MESSAGE;
            ping.format = 32;
            ping.window = m_window;
            ping.type = m_protocolsAtom;
            ping.data.data32[0] = m_pingAtom;
            ping.data.data32[1] = std::uint32_t(m_sentAt.size());
            ping.data.data32[2] = m_window;
            xcb_send_event(c, 0, m_window, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char *>(&ping));
            xcb_flush(c);
            m_sentAt.push_back(now);
            m_answeredAt.push_back(Clock::time_point());
            next += m_interval;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, int(std::max<long long>(0, left.count())));
        while (xcb_generic_event_t *e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto *m = reinterpret_cast<const xcb_client_message_event_t *>(e);
                const std::uint32_t seq = m->data.data32[1];
                if (m->type == m_protocolsAtom && m->data.data32[0] == m_pingAtom
                    && m->data.data32[2] == m_window && seq < m_answeredAt.size()
                    && m_answeredAt[seq] == Clock::time_point())
                    m_answeredAt[seq] = Clock::now();
            }
            std::free(e);
        }
        if (xcb_connection_has_error(c))
            return;
    }
}

WmPinger::Wait WmPinger::longestWait() const
{
    Wait longest;
    for (std::size_t i = 0; i < m_sentAt.size(); ++i) {
        const Clock::time_point end =
            m_answeredAt[i] == Clock::time_point() ? m_stoppedAt : m_answeredAt[i];
        const auto length =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - m_sentAt[i]);
        if (i == 0 || length > longest.length)
            longest = {length, m_sentAt[i]};
    }
    return longest;
}

int WmPinger::sent() const
{
    return int(m_sentAt.size());
}

int WmPinger::answered() const
{
    return int(std::count_if(m_answeredAt.begin(), m_answeredAt.end(),
                             [](Clock::time_point t) { return t != Clock::time_point(); }));
}
