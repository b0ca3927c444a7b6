#include "ui/mainwindow/GuiCallGate.h"

void GuiCallGate::close() {
    std::lock_guard lock(m_state->mutex);
    m_state->closed = true;
    m_state->answered.notify_all();
}

bool GuiCallGate::isClosed() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->closed;
}
