#include "platform/streams/StreamCore.h"

namespace plat::streams {

StreamCore::~StreamCore() {
    releaseContext();
}

bool StreamCore::setClient(CFOptionFlags events, void (*callback)(),
                           CFStreamClientContext* context) {
    releaseContext();
    if (!callback || events == 0) {
        m_clientEvents = 0;
        m_callback = nullptr;
        return true;
    }
    m_clientEvents = events;
    m_callback = callback;
    m_context = context ? *context : CFStreamClientContext{};
    if (m_context.retain && m_context.info) m_context.retain(m_context.info);
    return true;
}

void StreamCore::schedule(CFRunLoop* loop) {
    if (!loop || m_loop == loop) return;
    if (m_loop) unschedule(m_loop);
    m_loop = loop;
    CFRetain(loop);
    loop->addSource(this);
}

void StreamCore::unschedule(CFRunLoop* loop) {
    if (!m_loop || (loop && loop != m_loop)) return;
    m_loop->removeSource(this);
    CFRelease(m_loop);
    m_loop = nullptr;
}

void StreamCore::deliverEvents() {
    // Each kind at most once per round, so a client that keeps reading
    // or writing cannot keep the loop from polling its sockets.
    CFStreamEventType delivered = 0;
    while (m_loop && !m_loop->stopRequested()) {
        const CFStreamEventType e = nextEvent();
        if (e == kCFStreamEventNone || (delivered & e)) break;
        delivered |= e;
        markDelivered(e);
        if ((m_clientEvents & e) && m_callback) callClient(e, m_context.info);
    }
}

CFStreamEventType StreamCore::nextEvent() const {
    if (!isOpenOrLater()) return kCFStreamEventNone;
    if (openCompleted() && !m_openDelivered) return kCFStreamEventOpenCompleted;
    if (failed()) return m_errorDelivered ? kCFStreamEventNone : kCFStreamEventErrorOccurred;
    if (openCompleted() && !m_dataDelivered && dataReady()) return dataEvent();
    if (endReached() && !m_endDelivered) return kCFStreamEventEndEncountered;
    return kCFStreamEventNone;
}

void StreamCore::markDelivered(CFStreamEventType e) {
    switch (e) {
    case kCFStreamEventOpenCompleted:
        m_openDelivered = true;
        break;
    case kCFStreamEventErrorOccurred:
        m_errorDelivered = true;
        break;
    case kCFStreamEventEndEncountered:
        m_endDelivered = true;
        break;
    default:
        m_dataDelivered = true;
        break;
    }
}

void StreamCore::releaseContext() {
    if (m_callback && m_context.release && m_context.info) m_context.release(m_context.info);
    m_context = {};
}

} // namespace plat::streams
