#include "Core/registration/manageDllRegistations.h"

namespace Core {

void SimpleObserver::unlink() {
    if (m_previous) m_previous->m_next = m_next;
    if (m_next) m_next->m_previous = m_previous;
    m_previous = m_next = nullptr;
}

Registration::Registration(ModuleEntry* handle, const SrcInfo& info)
    : m_handle(handle), m_observer(&Registration::entryGoingAway, this) {
    if (!m_handle) return;
    m_handle->observers->attach(m_observer);
    ++m_handle->attachments;
    m_handle->registrant = info;
}

Registration::Registration(Registration&& other) : m_handle(other.m_handle), m_observer(&Registration::entryGoingAway, this) {
    if (!m_handle) return;
    m_handle->observers->attach(m_observer);
    m_handle->observers->detach(other.m_observer);
    other.m_handle = nullptr;
}

void Registration::release() {
    if (!m_handle) return;
    void (*release)(void*) = nullptr;
    void* argument = nullptr;
    if (--m_handle->attachments == 0) {
        release = m_handle->release;
        argument = m_handle->releaseArgument;
    }
    m_handle->observers->detach(m_observer);
    m_handle = nullptr;
    if (release) release(argument);
}

void Registration::entryGoingAway(void* self) {
    Registration* r = static_cast<Registration*>(self);
    if (!r->m_handle) return;
    --r->m_handle->attachments;
    r->m_handle = nullptr;
}

SrcInfo registrationFailureLocation(int line) {
    return SrcInfo{line, "Core/registration/manageDllRegistations.h", "manageDllRegistations<FunctionT>", 0};
}

}  // namespace Core
