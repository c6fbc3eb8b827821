// A group's data as handlers see it: a gatherer builds the next tables
// aside and publishes them with one swap, so an answer never mixes two
// passes and a slow source never holds a handler.
#ifndef CORVANTIS_AGENT_SNAPSHOT_H
#define CORVANTIS_AGENT_SNAPSHOT_H

#include <memory>
#include <mutex>
#include <utility>

template <typename T>
class published {
public:
    // The current tables; they stay alive while the pointer is kept.
    std::shared_ptr<const T> now() const
    {
        std::lock_guard<std::mutex> lock(lock_);
        return current_;
    }

    void publish(std::shared_ptr<const T> next)
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            current_.swap(next);
        }
        // The old tables may be large: free them outside the lock.
    }

    // For handlers, on the main thread only: the current tables, kept until
    // the next request's hold.  net-snmp copies the value a handler returns
    // after the handler is gone, so what it points into must outlive it.
    std::shared_ptr<const T> hold()
    {
        std::shared_ptr<const T> tables = now();
        held_ = tables;
        return tables;
    }

    // At shutdown, so the tables are freed before the group's state is.
    void clear()
    {
        publish(nullptr);
        held_.reset();
    }

private:
    mutable std::mutex lock_;
    std::shared_ptr<const T> current_;
    std::shared_ptr<const T> held_;
};

#endif
