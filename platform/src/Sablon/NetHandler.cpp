#include "Sablon/NetHandler.h"

#include "Reactor.h"

namespace Halvex {
namespace Sablon {

CNetHandler::CNetHandler() : m_id(0) {
    CReactor::Bind(this);
}

// A handler may be deleted from its handle_close, or when it never had a
// socket registered or was closed and its handle_close has run. Deleting one
// while another thread delivers an event to it is not allowed.
CNetHandler::~CNetHandler() {
    CReactor::Unbind(this);
}

int CNetHandler::handle_input(int) {
    return 0;
}
int CNetHandler::handle_output(int) {
    return 0;
}
int CNetHandler::handle_exception(int) {
    return 0;
}
int CNetHandler::handle_input_timeout(int) {
    return 0;
}
int CNetHandler::handle_output_timeout(int) {
    return 0;
}
int CNetHandler::handle_exception_timeout(int) {
    return 0;
}
int CNetHandler::handle_timeout(long) {
    return 0;
}
int CNetHandler::handle_close(CNetHandler*) {
    return 0;
}
int CNetHandler::handle_message(long, unsigned int, long) {
    return 0;
}

int CNetHandler::Close() {
    return CReactor::Close(this);
}

// Out of memory in the reactor's tables is a failure (-1), never an
// exception.
int CNetHandler::RegisterSock(CSock& sock, int mask, uint32_t timeout_us) {
    try {
        return CReactor::Register(this, sock.GetHandle(), mask, timeout_us, false);
    } catch (...) {
        return -1;
    }
}

int CNetHandler::UnregisterSock(CSock& sock, int mask) {
    return CReactor::Unregister(this, sock.GetHandle(), mask);
}

int CNetHandler::RemoveSock(CSock& sock) {
    return CReactor::Remove(this, sock.GetHandle());
}

int CNetHandler::Notify(long to_id, unsigned int msg, long param) {
    try {
        return CReactor::Notify(this, to_id, msg, param);
    } catch (...) {
        return -1;
    }
}

}  // namespace Sablon
}  // namespace Halvex
