#include "Sablon/StreamSender.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "Reactor.h"

namespace Halvex {
namespace Sablon {

// Queued bytes are buf[head, head + count); the block is compacted when a Put
// needs the room behind the tail. The block of `cap` bytes is allocated when
// bytes first have to wait: a Put the socket takes whole needs none.
struct CStreamSender::Impl {
    std::mutex mutex;
    std::unique_ptr<char[]> buf;
    size_t cap = BLOCK_SIZE;
    size_t head = 0;
    size_t count = 0;
    CNetHandler* owner = nullptr;
    CSockStream* stream = nullptr;
    bool failed = false;
    bool output_registered = false;
    long size_waiter = 0;
    unsigned int size_wanted = 0;
    long exception_waiter = 0;

    size_t capacity() const { return cap; }
    size_t free_space() const { return cap - count; }

    // Writes queued bytes until the socket takes no more; -1 on a send
    // failure.
    int flush() {
        while (count > 0) {
            int chunk = count > (1u << 30) ? (1 << 30) : static_cast<int>(count);
            int n = stream->Send(buf.get() + head, chunk);
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            head += static_cast<size_t>(n);
            count -= static_cast<size_t>(n);
        }
        if (count == 0)
            head = 0;
        return 0;
    }

    // Ends the owner's interest in output on the stream, when it has one.
    void drop_output() {
        if (output_registered && owner && stream)
            owner->UnregisterSock(*stream, MASK_OUTPUT);
        output_registered = false;
    }

    // The stream is cut (a send failed, or bytes could not follow those
    // already sent): nothing more is queued or sent, and the handler that
    // asked with WaitException is told once.
    void fail(CStreamSender& sender) {
        failed = true;
        count = 0;
        head = 0;
        if (exception_waiter) {
            sender.Notify(exception_waiter, MSG_SOCKET_EXCEPTION, 0);
            exception_waiter = 0;
        }
    }

    // Tells the handler waiting in WaitBufferSize once the room it asked for
    // is free; the wait ends with that message.
    void wake_size_waiter(CStreamSender& sender) {
        if (size_waiter && free_space() >= size_wanted) {
            sender.Notify(size_waiter, MSG_BUFFER_SIZE, 0);
            size_waiter = 0;
        }
    }
};

CStreamSender* CStreamSender::Create() {
    CStreamSender* sender = new (std::nothrow) CStreamSender;
    if (sender == nullptr)
        return nullptr;
    if (sender->m_impl == nullptr) {
        delete sender;
        return nullptr;
    }
    return sender;
}

CStreamSender::CStreamSender() : m_impl(new (std::nothrow) Impl) {}

CStreamSender::~CStreamSender() {
    delete m_impl;
}

int CStreamSender::Attach(CNetHandler* owner, CSockStream* stream) {
    if (owner == nullptr || stream == nullptr)
        return -1;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->owner != nullptr)
        return -1;
    m_impl->owner = owner;
    m_impl->stream = stream;
    CReactor::Rebind(this, owner);
    return 0;
}

int CStreamSender::Detach() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->drop_output();
    m_impl->owner = nullptr;
    m_impl->stream = nullptr;
    return 0;
}

int CStreamSender::GetBufferSize() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return static_cast<int>(m_impl->capacity() / BLOCK_SIZE);
}

int CStreamSender::SetBufferSize(int blocks) {
    if (blocks < 1 || blocks > (1 << 30) / BLOCK_SIZE)
        return -1;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    size_t bytes = static_cast<size_t>(blocks) * BLOCK_SIZE;
    if (m_impl->count > bytes)
        return -1;
    std::unique_ptr<char[]> next;
    if (m_impl->count) {
        next.reset(new (std::nothrow) char[bytes]);
        if (!next)
            return -1;
        memcpy(next.get(), m_impl->buf.get() + m_impl->head, m_impl->count);
    }
    m_impl->buf = std::move(next);
    m_impl->cap = bytes;
    m_impl->head = 0;
    return 0;
}

int CStreamSender::Put(const char* data, int len) {
    if (data == nullptr || len < 0)
        return -1;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Impl& s = *m_impl;
    if (s.owner == nullptr || s.stream == nullptr || s.failed)
        return -1;
    if (static_cast<size_t>(len) > s.free_space())
        return -1;
    if (len == 0)
        return 0;
    size_t offset = 0;
    if (s.count == 0) {
        // Nothing waits: write at once what the socket takes.
        s.head = 0;
        int n = s.stream->Send(data, len);
        if (n < 0) {
            s.fail(*this);
            return -1;
        }
        offset = static_cast<size_t>(n);
        if (offset == static_cast<size_t>(len))
            return 0;
    }
    size_t rest = static_cast<size_t>(len) - offset;
    if (!s.buf) {
        s.buf.reset(new (std::nothrow) char[s.cap]);
        if (!s.buf) {
            // Part of the bytes may have gone out: the stream is cut.
            if (offset > 0)
                s.fail(*this);
            return -1;
        }
    }
    if (s.head + s.count + rest > s.capacity()) {
        memmove(s.buf.get(), s.buf.get() + s.head, s.count);
        s.head = 0;
    }
    memcpy(s.buf.get() + s.head + s.count, data + offset, rest);
    s.count += rest;
    if (!s.output_registered) {
        if (CReactor::Register(s.owner, s.stream->GetHandle(), MASK_OUTPUT, 0, true) != 0) {
            // Without output events the queued bytes would never go out: take
            // them back, and when some of this Put already went out the
            // stream is cut.
            s.count -= rest;
            if (offset > 0)
                s.fail(*this);
            return -1;
        }
        s.output_registered = true;
    }
    return 0;
}

int CStreamSender::handle_output(int) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Impl& s = *m_impl;
    if (s.stream == nullptr || s.owner == nullptr)
        return 0;
    if (!s.failed && s.flush() < 0) {
        s.fail(*this);
        s.output_registered = false;
        // The owner's registration of this socket ends with the failure.
        return -1;
    }
    if (s.count == 0)
        s.drop_output();
    s.wake_size_waiter(*this);
    return 0;
}

int CStreamSender::WaitBufferSize(long handler_id, unsigned int size) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Impl& s = *m_impl;
    if (size > s.capacity())
        return -1;
    if (s.free_space() >= size) {
        s.size_waiter = 0;
        return Notify(handler_id, MSG_BUFFER_SIZE, 0) == 0 ? 0 : -1;
    }
    s.size_waiter = handler_id;
    s.size_wanted = size;
    return 0;
}

int CStreamSender::WaitException(long handler_id) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (m_impl->failed)
        return Notify(handler_id, MSG_SOCKET_EXCEPTION, 0) == 0 ? 0 : -1;
    m_impl->exception_waiter = handler_id;
    return 0;
}

int CStreamSender::Clear() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    Impl& s = *m_impl;
    s.count = 0;
    s.head = 0;
    s.drop_output();
    s.wake_size_waiter(*this);
    return 0;
}

int CStreamSender::handle_close(CNetHandler*) {
    delete this;
    return 0;
}

}  // namespace Sablon
}  // namespace Halvex
