#include "tools/zrnsim/Station.h"

#include <algorithm>
#include <cstdlib>

#include "platform/time/clock.h"

namespace zrnsim {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

uint32_t Now() {
    return plat::SysClock().TickCount();
}

template <class T>
void Push(std::deque<T>& d, T e) {
    d.push_back(std::move(e));
    while (d.size() > kMaxLogEntries) d.pop_front();
}

std::string Num(int64_t v) {
    return std::to_string(v);
}

}  // namespace

bool Faults::Any() const {
    return silent || echo || delay_ms || split || bad_checksum || checksum_low || start_with_b ||
           address_flags || !trailing.empty();
}

// --- Controller ---------------------------------------------------------------------------

Controller::Controller(std::shared_ptr<std::recursive_mutex> lock, uint8_t address, int family,
                       int version)
    : lock_(std::move(lock)),
      address_(address),
      family_(family),
      version_(version),
      table_(FindFamily(family)),
      layout_(&table_->LayoutFor(version)) {
    flow_ = table_->flow_per_second;
    InitParams();
}

void Controller::InitParams() {
    for (const auto& [n, v] : layout_->defaults) params_[n] = v;
    // Identity as the probe reads it: family in 148 as two decimal digits ("??" for 90) and
    // the version in 149 as a byte. Families above 99 do not fit there: 148 then reads 0 and
    // the identity moves to 235 (family) and 236 (version).
    if (family_ == 90) {
        params_[148] = 0xFF;
        params_[149] = static_cast<uint8_t>(version_);
    } else if (family_ <= 99) {
        params_[148] = DigitByte(family_);
        params_[149] = static_cast<uint8_t>(version_);
    } else {
        params_[148] = 0;
        params_[235] = DigitByte(family_);
        params_[236] = static_cast<uint8_t>(version_);
    }
    if (layout_->identity) {
        params_[layout_->identity] = DigitByte(family_);
        params_[static_cast<uint8_t>(layout_->identity + 1)] = static_cast<uint8_t>(version_);
    }
    if (layout_->address) params_[layout_->address] = address_;
    WriteTemperatureParams();
}

uint8_t Controller::Address() const {
    Guard g(*lock_);
    return address_;
}

uint8_t Controller::Param(uint8_t n) const {
    Guard g(*lock_);
    return params_[n];
}

void Controller::SetParam(uint8_t n, uint8_t v) {
    Guard g(*lock_);
    params_[n] = v;
}

uint8_t Controller::ExtParam(uint8_t n) const {
    Guard g(*lock_);
    return ext_params_[n];
}

void Controller::SetExtParam(uint8_t n, uint8_t v) {
    Guard g(*lock_);
    ext_params_[n] = v;
}

void Controller::SetProgramId(uint8_t p145, uint8_t p146, uint8_t p147) {
    Guard g(*lock_);
    params_[145] = p145;
    params_[146] = p146;
    params_[147] = p147;
}

State Controller::GetState() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return state_;
}

int64_t Controller::CurrentV() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return current_v_;
}

int64_t Controller::CurrentW() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return current_w_;
}

int64_t Controller::Dose() {
    Guard g(*lock_);
    return dose_;
}

int64_t Controller::TotalV() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return total_v_;
}

int64_t Controller::TotalW() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return total_w_;
}

int64_t Controller::Price() {
    Guard g(*lock_);
    return price_;
}

int64_t Controller::Temperature() {
    Guard g(*lock_);
    return temperature_;
}

int Controller::Inspector() const {
    Guard g(*lock_);
    uint8_t p = table_->inspector_param;
    if (!p || p == 255) return 0;
    return params_[p] << 8 | params_[p + 1];
}

void Controller::SetTotalV(int64_t v) {
    Guard g(*lock_);
    UpdateLocked(Now());
    total_v_ = std::max<int64_t>(v, 0);
}

void Controller::SetTotalW(int64_t v) {
    Guard g(*lock_);
    UpdateLocked(Now());
    total_w_ = std::max<int64_t>(v, 0);
}

void Controller::SetPrice(int64_t v) {
    Guard g(*lock_);
    price_ = std::max<int64_t>(v, 0);
}

void Controller::SetFlowRate(int64_t per_second) {
    Guard g(*lock_);
    UpdateLocked(Now());
    flow_ = std::max<int64_t>(per_second, 0);
}

void Controller::SetDensity(int64_t kg_per_unit) {
    Guard g(*lock_);
    UpdateLocked(Now());
    density_ = std::max<int64_t>(kg_per_unit, 0);
}

void Controller::SetTemperature(int64_t v) {
    Guard g(*lock_);
    temperature_ = v;
    WriteTemperatureParams();
}

void Controller::WriteTemperatureParams() {
    uint8_t p = layout_->temperature;
    if (!p) return;
    // Sign in bit 7, whole degrees in BCD (at most 79), hundredths in BCD in the next one.
    int64_t a = std::llabs(temperature_);
    int whole = static_cast<int>(std::min<int64_t>(a / 10000, 79));
    params_[p] = static_cast<uint8_t>(ByteToBcd(whole) | (temperature_ < 0 ? 0x80 : 0));
    if (layout_->fine_temperature && p < 255)
        params_[p + 1] = ByteToBcd(static_cast<int>(a % 10000 / 100));
}

void Controller::SetVolumeDecimals(int decimals) {
    Guard g(*lock_);
    volume_decimals_ = std::clamp(decimals, 0, 4);
}

void Controller::SetEarthed(bool on) {
    Guard g(*lock_);
    earthed_ = on;
}

void Controller::SetShowDoseWhileWaiting(bool on) {
    Guard g(*lock_);
    show_dose_waiting_ = on;
}

void Controller::SetStatusOverride(std::optional<uint8_t> status) {
    Guard g(*lock_);
    status_override_ = status;
}

uint8_t Controller::StatusChar() {
    Guard g(*lock_);
    UpdateLocked(Now());
    return StatusLocked();
}

uint8_t Controller::StatusLocked() const {
    if (status_override_) return *status_override_;
    const StatusCodes& s = table_->status;
    uint8_t c = s.idle;
    switch (state_) {
        case State::Idle:
            c = s.idle;
            break;
        case State::WaitingKey:
            c = s.waiting_key;
            break;
        case State::Working:
            c = s.working;
            break;
        case State::Paused:
            c = s.paused;
            break;
    }
    if (earthed_) c |= s.earthed_bit;
    return c;
}

bool Controller::PressKey() {
    Guard g(*lock_);
    uint32_t now = Now();
    UpdateLocked(now);
    if (state_ != State::WaitingKey && state_ != State::Paused) return false;
    SetStateLocked(State::Working, now);
    return true;
}

void Controller::Stop() {
    Guard g(*lock_);
    uint32_t now = Now();
    UpdateLocked(now);
    SetStateLocked(State::Idle, now);
}

bool Controller::Deliver(int64_t volume) {
    Guard g(*lock_);
    uint32_t now = Now();
    UpdateLocked(now);
    if (state_ != State::Idle || volume <= 0) return false;
    dose_ = volume;
    current_v_ = 0;
    current_w_ = 0;
    SetStateLocked(State::Working, now);
    return true;
}

bool Controller::Pause(uint8_t reasons) {
    Guard g(*lock_);
    uint32_t now = Now();
    UpdateLocked(now);
    if (state_ != State::Working) return false;
    SetStateLocked(State::Paused, now);
    if (table_->pause_reason_param) params_[table_->pause_reason_param] = reasons;
    return true;
}

void Controller::SetFaults(const Faults& f) {
    Guard g(*lock_);
    faults_ = f;
}

Faults Controller::GetFaults() const {
    Guard g(*lock_);
    return faults_;
}

std::vector<LogEntry> Controller::Requests() const {
    Guard g(*lock_);
    return {log_.begin(), log_.end()};
}

void Controller::ClearRequests() {
    Guard g(*lock_);
    log_.clear();
}

void Controller::AddLog(const LogEntry& e) {
    Push(log_, e);
}

int Controller::VolumeDecimals() const {
    if (volume_decimals_ >= 0) return volume_decimals_;
    return FamilyTable::Decimals(table_->volume_rules, table_->volume_decimals, version_, params_);
}

int Controller::PriceDecimals() const {
    return FamilyTable::Decimals(table_->price_rules, table_->price_decimals, version_, params_);
}

void Controller::SetStateLocked(State s, uint32_t now) {
    if (s == State::Working && state_ != State::Working) flow_tick_ = now;
    state_ = s;
}

void Controller::UpdateLocked(uint32_t now) {
    if (state_ != State::Working) {
        flow_tick_ = now;
        return;
    }
    uint32_t elapsed = plat::TickDiff(now, flow_tick_);
    flow_tick_ = now;
    // Whole ×10000 units per step; the rest carries over so slow flows still move.
    flow_carry_ += flow_ * static_cast<int64_t>(elapsed);
    int64_t delta = flow_carry_ / 1000;
    flow_carry_ %= 1000;
    bool done = false;
    if (current_v_ + delta >= dose_) {
        delta = std::max<int64_t>(dose_ - current_v_, 0);
        done = true;
    }
    current_v_ += delta;
    total_v_ += delta;
    mass_carry_ += delta * density_;
    int64_t mass = mass_carry_ / 10000;
    mass_carry_ %= 10000;
    current_w_ += mass;
    total_w_ += mass;
    if (done) {
        state_ = State::Idle;
        flow_carry_ = 0;
    }
}

void Controller::BumpInspector() {
    uint8_t p = table_->inspector_param;
    if (!p || p == 255) return;
    int v = (params_[p] << 8 | params_[p + 1]) + 1;
    params_[p] = static_cast<uint8_t>(v >> 8 & 0xFF);
    params_[p + 1] = static_cast<uint8_t>(v & 0xFF);
}

std::optional<Controller::Answer> Controller::Respond(const Request& r, uint32_t now,
                                                      std::string& note) {
    UpdateLocked(now);
    if (const ReadSpec* rs = table_->FindRead(r.command, version_)) return Read(*rs, r, note);
    if (const WriteSpec* ws = table_->FindWrite(r.command)) return Write(*ws, r, now, note);
    note = std::string("command '") + r.command + "' not answered by family " + table_->name;
    return std::nullopt;
}

std::string Controller::Field(Quantity q, const ReadSpec& rs) {
    if (rs.comma && q != Quantity::Temperature && rs.width >= 2 && rs.decimals > 0 &&
        rs.decimals < rs.width - 1) {
        ReadSpec plain = rs;
        plain.comma = false;
        plain.width = static_cast<uint8_t>(rs.width - 1);
        std::string digits = Field(q, plain);
        return digits.insert(digits.size() - static_cast<size_t>(rs.decimals), 1, ',');
    }
    int w = rs.width;
    const int vd = rs.own_decimals ? rs.decimals : VolumeDecimals();
    switch (q) {
        case Quantity::Status:
        case Quantity::Param:
        case Quantity::ExtParam:
            return {};
        case Quantity::CurrentV:
            return FormatFixed(
                state_ == State::WaitingKey && show_dose_waiting_ ? dose_ : current_v_, w, vd);
        case Quantity::Dose:
            return FormatFixed(dose_, w, vd);
        case Quantity::TotalV:
            return FormatFixed(total_v_, w, vd);
        case Quantity::TotalW:
            return FormatFixed(total_w_, w, vd);
        case Quantity::CurrentW:
            return FormatFixed(current_w_, w, vd);
        case Quantity::Price:
            return FormatFixed(price_, w, PriceDecimals());
        case Quantity::Flow:
            return FormatFixed(state_ == State::Working ? flow_ : 0, w, rs.decimals);
        case Quantity::Temperature: {
            // Sign, integer digits, ',' and the decimals: "+15,5" for width 5, 1 decimal.
            std::string s(1, temperature_ < 0 ? '-' : '+');
            int body = w - 1;
            if (rs.decimals == 0) return s + FormatFixed(std::llabs(temperature_), body, 0);
            int ints = body - 1 - rs.decimals;
            std::string digits =
                FormatFixed(std::llabs(temperature_), ints + rs.decimals, rs.decimals);
            return s + digits.substr(0, static_cast<size_t>(std::max(ints, 0))) + ',' +
                   digits.substr(static_cast<size_t>(std::max(ints, 0)));
        }
    }
    return {};
}

std::optional<Controller::Answer> Controller::Read(const ReadSpec& rs, const Request& r,
                                                   std::string& note) {
    Answer a;
    a.data += static_cast<char>(StatusLocked());
    if (rs.what == Quantity::Param || rs.what == Quantity::ExtParam) {
        uint8_t n = 0;
        if (!NibblesToByte(r.data, n)) {
            note = "bad parameter number '" + r.data + "'";
            return std::nullopt;
        }
        uint8_t v = rs.what == Quantity::Param ? params_[n] : ext_params_[n];
        if (rs.what == Quantity::Param && layout_->total_millions && n == layout_->total_millions)
            v = DigitByte(static_cast<int>(total_v_ / 10000 / 1000000 % 100));
        a.data += ByteToNibbles(v);
        return a;
    }
    if (!r.data.empty()) {
        note = "unexpected data '" + r.data + "'";
        return std::nullopt;
    }
    a.data += Field(rs.what, rs);
    return a;
}

bool Controller::WriteParamLocked(std::string_view data, std::optional<uint8_t>& move_to,
                                  std::string& note) {
    if (!table_->unlock_data.empty() && data == table_->unlock_data) {
        unlocked_ = true;
        note = "unlock";
        return true;
    }
    uint8_t n = 0, v = 0;
    if (data.size() != 4 || !NibblesToByte(data.substr(0, 2), n) ||
        !NibblesToByte(data.substr(2, 2), v)) {
        note = "bad parameter write '" + std::string(data) + "'";
        return false;
    }
    bool was_unlocked = std::exchange(unlocked_, false);
    uint8_t tv = layout_->total_v;
    bool totalizer = tv && n >= tv && n < tv + 6;
    if (totalizer && !was_unlocked) {
        // Without the unlock the controller keeps its totalizer and says nothing.
        note = "totalizer parameter " + Num(n) + " written without unlock";
        return false;
    }
    params_[n] = v;
    BumpInspector();
    note = "param " + Num(n) + " := 0x" + ByteToNibbles(v);
    if (totalizer) {
        int64_t twelve = 0;
        for (int i = 0; i < 6; ++i) twelve = twelve * 100 + BcdToInt(params_[tv + i]);
        int dec = table_->total_write_decimals;
        for (int i = dec; i < 4; ++i) twelve *= 10;
        for (int i = 4; i < dec; ++i) twelve /= 10;
        total_v_ = twelve;
        note += ", TotalV " + Num(total_v_ / 10000);
    }
    if (layout_->address && n == layout_->address) move_to = v;
    return true;
}

std::optional<Controller::Answer> Controller::Write(const WriteSpec& rs, const Request& r,
                                                    uint32_t now, std::string& note) {
    if (rs.data_length && r.data.size() != rs.data_length) {
        note = "data length " + Num(static_cast<int64_t>(r.data.size())) + " for '" + r.command +
               "', expected " + Num(rs.data_length);
        return std::nullopt;
    }
    Answer a;
    a.ack = true;
    for (uint8_t v : rs.silent_versions) a.silent = a.silent || v == version_;
    switch (rs.action) {
        case Action::WriteParam:
            if (!WriteParamLocked(r.data, a.move_to, note)) return std::nullopt;
            return a;
        case Action::WriteExtParam: {
            uint8_t n = 0, v = 0;
            if (r.data.size() != 4 || !NibblesToByte(std::string_view(r.data).substr(0, 2), n) ||
                !NibblesToByte(std::string_view(r.data).substr(2, 2), v)) {
                note = "bad extended parameter write '" + r.data + "'";
                return std::nullopt;
            }
            ext_params_[n] = v;
            BumpInspector();
            note = "ext param " + Num(n) + " := 0x" + ByteToNibbles(v);
            return a;
        }
        case Action::SetDose: {
            auto v = ParseFixed(r.data, VolumeDecimals());
            if (!v) {
                note = "bad dose '" + r.data + "'";
                return std::nullopt;
            }
            dose_ = *v;
            note = "dose " + r.data;
            // A new dose from idle (or a replaced one while waiting) arms the key; a dose
            // changed while working or paused only moves the end. A zero dose disarms.
            if (state_ == State::Idle || state_ == State::WaitingKey) {
                current_v_ = 0;
                current_w_ = 0;
                SetStateLocked(dose_ > 0 ? State::WaitingKey : State::Idle, now);
            }
            return a;
        }
        case Action::SetPrice: {
            auto v = ParseFixed(r.data, PriceDecimals());
            if (!v) {
                note = "bad price '" + r.data + "'";
                return std::nullopt;
            }
            price_ = *v;
            note = "price " + r.data;
            return a;
        }
        case Action::Stop:
            // Pauses a working dose; elsewhere acknowledged without effect (families that send
            // it right after the dose use it as a confirmation).
            if (state_ == State::Working) {
                SetStateLocked(State::Paused, now);
                if (table_->pause_reason_param) params_[table_->pause_reason_param] = 0;
                note = "paused";
            } else if (state_ == State::WaitingKey && table_->stop_disarms) {
                SetStateLocked(State::Idle, now);
                note = "disarmed";
            }
            return a;
        case Action::Continue:
            if (state_ == State::Paused || state_ == State::WaitingKey) {
                SetStateLocked(State::Working, now);
                if (table_->pause_reason_param) params_[table_->pause_reason_param] = 0;
                note = "working";
            }
            return a;
    }
    return std::nullopt;
}

// --- Station ------------------------------------------------------------------------------

Station::Station() : lock_(std::make_shared<std::recursive_mutex>()) {}
Station::~Station() = default;

Controller* Station::Add(int address, int family, int version) {
    if (address < 1 || address > kMaxAddress || family < 0 || family > 255 || version < 0 ||
        version > 255)
        return nullptr;
    Guard g(*lock_);
    auto& slot = controllers_[address];
    if (slot) return nullptr;
    slot.reset(new Controller(lock_, static_cast<uint8_t>(address), family, version));
    slot->flow_tick_ = Now();
    return slot.get();
}

bool Station::Remove(int address) {
    if (address < 1 || address > kMaxAddress) return false;
    Guard g(*lock_);
    return static_cast<bool>(std::exchange(controllers_[address], nullptr));
}

Controller* Station::Find(int address) {
    if (address < 1 || address > kMaxAddress) return nullptr;
    Guard g(*lock_);
    return controllers_[address].get();
}

std::vector<uint8_t> Station::Addresses() const {
    Guard g(*lock_);
    std::vector<uint8_t> out;
    for (int a = 1; a <= kMaxAddress; ++a)
        if (controllers_[a]) out.push_back(static_cast<uint8_t>(a));
    return out;
}

void Station::SetFaults(const Faults& f) {
    Guard g(*lock_);
    faults_ = f;
}

Faults Station::GetFaults() const {
    Guard g(*lock_);
    return faults_;
}

std::vector<LogEntry> Station::Requests() const {
    Guard g(*lock_);
    return {log_.begin(), log_.end()};
}

void Station::ClearRequests() {
    Guard g(*lock_);
    log_.clear();
}

void Station::AddLog(LogEntry e) {
    Push(log_, std::move(e));
}

void Station::Update() {
    Guard g(*lock_);
    uint32_t now = Now();
    for (auto& c : controllers_)
        if (c) c->UpdateLocked(now);
}

Faults Station::TakeFaults(Faults& f) {
    if (f.count == 0) f = Faults{};
    Faults in_force = f;
    if (f.count > 0 && --f.count == 0) f = Faults{};
    return in_force;
}

Reply Station::Handle(std::string_view frame) {
    Guard g(*lock_);
    uint32_t now = Now();
    Reply reply;
    LogEntry e;
    e.tick = now;
    e.frame.assign(frame);
    Request req;
    e.error = ParseRequest(frame, req);
    Faults sf = TakeFaults(faults_);
    if (sf.echo) reply.segments.push_back({std::string(frame), now});

    auto finish = [&](Controller* c) {
        reply.note = e.note;
        if (c) c->AddLog(e);
        AddLog(std::move(e));
        return reply;
    };

    if (e.error != FrameError::None) {
        e.note = std::string("invalid frame: ") + FrameErrorText(e.error);
        return finish(nullptr);
    }
    e.address = req.address;
    e.command = req.command;
    Controller* c = req.address <= kMaxAddress ? controllers_[req.address].get() : nullptr;
    if (!c) {
        e.note = "no controller at address " + Num(req.address);
        return finish(nullptr);
    }
    Faults cf = TakeFaults(c->faults_);
    if (cf.echo && !sf.echo) reply.segments.push_back({std::string(frame), now});
    if (sf.silent || cf.silent) {
        e.note = "silent";
        return finish(c);
    }
    std::optional<Controller::Answer> ans = c->Respond(req, now, e.note);
    if (!ans) return finish(c);

    std::string out;
    std::string applied;
    if (ans->silent) e.note += (e.note.empty() ? "" : ", ") + std::string("done without answer");
    auto mark = [&applied](const std::string& what) {
        applied += applied.empty() ? "faults: " : ", ";
        applied += what;
    };
    if (ans->ack) {
        out = std::string(1, kAnswerStart);
    } else {
        uint8_t flags = static_cast<uint8_t>(c->table_->answer_address_flags | sf.address_flags |
                                             cf.address_flags);
        out = BuildAnswer(static_cast<uint8_t>(req.address | flags), req.command, ans->data);
        if (sf.address_flags | cf.address_flags) mark("address 0x" + ByteToNibbles(flags));
        size_t cs = out.size() - 2;
        if (sf.checksum_low || cf.checksum_low || c->table_->ChecksumLow(c->version_)) {
            out[cs] = static_cast<char>(static_cast<uint8_t>(out[cs]) - 0x10);
            mark("checksum 0x10 low");
        }
        if (sf.bad_checksum || cf.bad_checksum) {
            out[cs] = static_cast<char>(static_cast<uint8_t>(out[cs]) + 1);
            mark("bad checksum");
        }
    }
    if (sf.start_with_b || cf.start_with_b) {
        out[0] = 'B';
        mark("'B'");
    }
    if (!sf.trailing.empty() || !cf.trailing.empty()) {
        out += sf.trailing + cf.trailing;
        mark("trailing " + Num(static_cast<int64_t>(sf.trailing.size() + cf.trailing.size())));
    }
    uint32_t delay = std::max(sf.delay_ms, cf.delay_ms);
    if (delay) mark("delay " + Num(delay) + " ms");
    e.answer = ans->silent ? std::string() : out;

    const Faults& sp = cf.split ? cf : sf;
    uint32_t due = now + delay;
    if (ans->silent) {
        // Nothing goes out.
    } else if (sp.split && out.size() >= 2) {
        size_t at = sp.split_at ? std::min(sp.split_at, out.size() - 1) : out.size() / 2;
        reply.segments.push_back({out.substr(0, at), due});
        reply.segments.push_back({out.substr(at), due + sp.split_delay_ms});
        mark("split " + Num(static_cast<int64_t>(at)) + "+" +
             Num(static_cast<int64_t>(out.size() - at)) + " after " + Num(sp.split_delay_ms) +
             " ms");
    } else {
        reply.segments.push_back({std::move(out), due});
    }

    if (ans->move_to) {
        int to = *ans->move_to;
        int from = req.address;
        if (to != from && to >= 1 && to <= kMaxAddress && !controllers_[to]) {
            controllers_[to] = std::move(controllers_[from]);
            c->address_ = static_cast<uint8_t>(to);
            e.note += ", moved to address " + Num(to);
        } else if (to != from) {
            e.note += ", address " + Num(to) + " not taken (out of range or in use)";
        }
    }
    if (!applied.empty()) e.note += (e.note.empty() ? "" : "; ") + applied;
    return finish(c);
}

}  // namespace zrnsim
