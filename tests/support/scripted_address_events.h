#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <vector>

#include "platform/address_events.h"

namespace signposter::testing {

// Events a test hands out, one batch per Take(); the descriptor stays readable while batches remain. A test
// may push while another thread (the window's publishing thread) takes.
class ScriptedEvents : public platform::AddressEvents {
public:
    ScriptedEvents() { EXPECT_EQ(::pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC), 0); }
    ~ScriptedEvents() override {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    void Push(std::vector<platform::AddressEvent> batch) {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_batches.empty()) {
            EXPECT_EQ(::write(m_pipe[1], "x", 1), 1);
        }
        m_batches.push_back(std::move(batch));
    }
    int Descriptor() const override { return m_pipe[0]; }
    std::vector<platform::AddressEvent> Take() override {
        const std::lock_guard<std::mutex> hold(m_lock);
        if (m_batches.empty())
            return {};
        std::vector<platform::AddressEvent> batch = std::move(m_batches.front());
        m_batches.pop_front();
        char byte;
        if (m_batches.empty()) {
            EXPECT_EQ(::read(m_pipe[0], &byte, 1), 1);
        }
        return batch;
    }

private:
    int m_pipe[2];
    std::mutex m_lock;
    std::deque<std::vector<platform::AddressEvent>> m_batches;
};

}  // namespace signposter::testing
