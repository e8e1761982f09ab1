// The call pool (see internal.h).
#include <algorithm>
#include <system_error>

#include "platform/rpc/connection.h"
#include "platform/rpc/internal.h"

namespace plat::rpc {

Pool& Pool::Get() {
    static auto* p = new Pool;  // its threads may outlive static destruction
    return *p;
}

void Pool::Submit(Incoming&& in) {
    {
        std::unique_lock lk(m_);
        q_.push_back(std::move(in));
        const size_t idle = Idle();
        if (!(idle < Runnable(idle) && threads_ - reading_ < kMaxPoolThreads)) {
            cv_.notify_one();
            return;
        }
        ++threads_;
    }
    if (Spawn()) return;
    std::unique_lock lk(m_);
    --threads_;
    cv_.notify_one();  // a busy thread takes the work when free
}

void Pool::StartReading(std::shared_ptr<Connection> c) {
    Connection* const conn = c.get();
    {
        std::unique_lock lk(m_);
        const bool idle = Idle() > 0;
        to_read_.push_back(std::move(c));
        ++reading_;
        if (idle) {
            cv_.notify_one();
            return;
        }
        ++threads_;
    }
    if (Spawn()) return;
    std::unique_lock lk(m_);
    --threads_;
    // A thread come free meanwhile may have taken the reading on.
    if (!EraseToRead(conn)) return;
    --reading_;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

bool Pool::ServeOnReader(Connection& c) {
    {
        std::unique_lock lk(m_);
        if (!UnderShare(c)) return false;
        const bool idle = Idle() > 0;
        if (!idle && threads_ - reading_ >= kMaxPoolThreads) return false;
        to_read_.push_back(c.shared_from_this());  // the count of readers stays: it moves
        Take(c);
        if (idle) {
            cv_.notify_one();
            return true;
        }
        ++threads_;
    }
    if (Spawn()) return true;
    std::unique_lock lk(m_);
    --threads_;
    if (!EraseToRead(&c)) return true;  // a thread come free meanwhile reads on
    Give(c);
    if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
    return false;
}

void Pool::ServedOnReader(Connection& c) {
    std::unique_lock lk(m_);
    Give(c);
    if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
}

// decisions PLAT-RPC-18
bool Pool::Spawn() {
    try {
        std::thread(&Pool::Work, this).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool Pool::EraseToRead(const Connection* c) {
    auto it =
        std::find_if(to_read_.begin(), to_read_.end(), [&](const auto& p) { return p.get() == c; });
    if (it == to_read_.end()) return false;
    to_read_.erase(it);
    return true;
}

size_t Pool::UserRunning(const Connection& c) const {
    auto it = user_running_.find(c.user_);
    return it == user_running_.end() ? 0 : it->second;
}

// decisions PLAT-RPC-3, PLAT-RPC-4
bool Pool::UnderShare(const Connection& c, size_t more_conn, size_t more_user) const {
    return c.pool_running_ + more_conn < kMaxPoolThreadsPerConnection &&
           UserRunning(c) + more_user < kMaxPoolThreadsPerUser;
}

void Pool::Take(Connection& c) {
    ++c.pool_running_;
    ++user_running_[c.user_];
}

void Pool::Give(Connection& c) {
    --c.pool_running_;
    auto it = user_running_.find(c.user_);
    if (--it->second == 0) user_running_.erase(it);
}

std::deque<Incoming>::iterator Pool::Next() {
    for (auto it = q_.begin(); it != q_.end(); ++it)
        if (UnderShare(*it->conn)) return it;
    return q_.end();
}

size_t Pool::Runnable(size_t above) {
    if (q_.size() == 1) return UnderShare(*q_.front().conn) ? 1 : 0;
    size_t n = 0;
    std::vector<std::pair<const Connection*, size_t>> by_conn;
    std::vector<std::pair<const std::string*, size_t>> by_user;
    for (const Incoming& in : q_) {
        const Connection& c = *in.conn;
        auto t = std::find_if(by_conn.begin(), by_conn.end(),
                              [&](const auto& e) { return e.first == &c; });
        if (t == by_conn.end()) t = by_conn.insert(by_conn.end(), {&c, 0});
        auto u = std::find_if(by_user.begin(), by_user.end(),
                              [&](const auto& e) { return *e.first == c.user_; });
        if (u == by_user.end()) u = by_user.insert(by_user.end(), {&c.user_, 0});
        if (UnderShare(c, t->second, u->second)) ++t->second, ++u->second, ++n;
        if (n > above) break;
    }
    return n;
}

void Pool::Work() {
    std::unique_lock lk(m_);
    for (;;) {
        if (!to_read_.empty()) {
            std::shared_ptr<Connection> c = std::move(to_read_.front());
            to_read_.pop_front();
            lk.unlock();
            const bool handed_on = c->ReadLoop();
            c.reset();
            lk.lock();
            if (!handed_on) --reading_;
            continue;
        }
        ++idle_;
        bool got =
            cv_.wait_for(lk, kIdleEnd, [&] { return !to_read_.empty() || Next() != q_.end(); });
        --idle_;
        if (!got) {
            --threads_;
            return;
        }
        if (!to_read_.empty()) continue;
        auto it = Next();
        Incoming in = std::move(*it);
        q_.erase(it);
        std::shared_ptr<Connection> conn = in.conn;
        Take(*conn);
        lk.unlock();
        ServeIncoming(in);
        in = Incoming{};
        lk.lock();
        Give(*conn);
        // A call of this connection may have waited for the thread it gave back.
        if (idle_ > 0 && Next() != q_.end()) cv_.notify_one();
        lk.unlock();
        conn.reset();  // outside the lock: may be the last reference
        lk.lock();
    }
}

}  // namespace plat::rpc
