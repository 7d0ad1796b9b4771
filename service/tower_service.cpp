#include "service/tower_service.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/service_notify.h"

namespace kv::service {

using nlohmann::json;

namespace {

size_t Index(int row)
{
    return static_cast<size_t>(row);
}

// The longest a firmware update may hold the poll thread before the service
// manager takes the service for hung.
constexpr uint64_t kUpdateWatchdogMs = 300000;

// The segment's entry of a status object.
json SegmentOf(const json& status, int row)
{
    if (row == kSoundRowIndex)
        return status.at("sound");
    return status.at("segments").at(Index(row));
}

}  // namespace

const char* ConditionName(TowerCondition c)
{
    switch (c) {
    case TowerCondition::Connecting:
        return "connecting";
    case TowerCondition::Online:
        return "online";
    case TowerCondition::Lost:
        return "lost";
    case TowerCondition::FirmwareDiffers:
        return "firmwareDiffers";
    case TowerCondition::Inaccessible:
        return "inaccessible";
    case TowerCondition::Held:
        return "held";
    case TowerCondition::Updating:
        return "updating";
    }
    return "";
}

std::string HeldText(const std::string& holder)
{
    return "The tower is held by " + holder + "; the service takes it when that program lets go.";
}

Answer ErrorAnswer(int status, const std::string& text)
{
    return {status, json{{"error", text}, {"code", status}}};
}

const TowerView* Snapshot::Find(const std::string& id) const
{
    for (const TowerView& t : towers)
        if (t.id == id || (!t.serialNumber.empty() && t.serialNumber == id))
            return &t;
    return nullptr;
}

// A write waiting for its turn, from a client (with a promise) or the
// service's own after a replug (without). A write of the service's own
// gives the slider position it had instead of a percentage. A client's
// switching threshold is a write of its own, with no segment.
struct TowerService::Pending {
    SegmentWrite write;
    std::optional<int> sliderPosition;
    std::shared_ptr<std::promise<Answer>> answer;
    uint64_t deadlineMs = 0;
    std::optional<uint8_t> threshold;
};

struct TowerService::Tower {
    std::string id;
    std::string path;
    std::string serialNumber;
    TowerCondition condition = TowerCondition::Connecting;
    std::unique_ptr<TowerHost> host;
    int firmware = -1;
    std::string heldBy;
    bool seenInScan = true;
    bool takenBefore = false;
    bool reapply = false;  // taken again: send what clients set once in step
    json status;           // the last state published

    // What clients set, per row, for after a replug.
    struct Wanted {
        uint8_t address = 0;
        bool hasPattern = false;
        uint8_t code = 0;
        int sliderPosition = -1;
        uint16_t level = 0;
        bool hasOn = false;
        bool on = false;
    };
    std::array<Wanted, kRowCount> wanted{};

    std::deque<Pending> queue;
    // The write in progress.
    enum class Phase { Idle, Pattern, Switch, Threshold };
    std::optional<Pending> active;
    Phase phase = Phase::Idle;
    uint8_t expectCode = 0;
    uint16_t expectLevel = 0;
    int refreshesBefore = 0;
};

TowerService::TowerService(ServiceOptions options) : options_(std::move(options))
{
    snapshot_ = std::make_shared<const Snapshot>(Snapshot{{}, DeviceListJson({}, {})});
}

TowerService::~TowerService()
{
    Stop();
}

void TowerService::Start()
{
    if (running_.exchange(true))
        return;
    thread_ = std::thread([this] { Loop(); });
}

void TowerService::Stop()
{
    if (!running_.load())
        return;
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        stopping_ = true;
    }
    inboxChanged_.notify_all();
    if (thread_.joinable())
        thread_.join();
    running_ = false;
}

std::shared_ptr<const Snapshot> TowerService::snapshot() const
{
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    return snapshot_;
}

std::future<Answer> TowerService::Write(const std::string& id, const SegmentWrite& write)
{
    return Queue(id, write, std::nullopt);
}

std::future<Answer> TowerService::SetThreshold(const std::string& id, uint8_t raw)
{
    if (!ThresholdRawOffered(raw)) {
        std::promise<Answer> refused;
        refused.set_value(ErrorAnswer(400, "The switching threshold is beyond the range the tool offers."));
        return refused.get_future();
    }
    return Queue(id, SegmentWrite{}, raw);
}

std::future<Answer> TowerService::Queue(const std::string& id, const SegmentWrite& write,
                                        std::optional<uint8_t> threshold)
{
    auto answer = std::make_shared<std::promise<Answer>>();
    std::future<Answer> result = answer->get_future();
    const uint64_t deadline = NowMs() + static_cast<uint64_t>(options_.confirmTimeout.count());
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        if (stopping_ || !running_) {
            answer->set_value(ErrorAnswer(503, "The service is stopping."));
            return result;
        }
        inbox_.push_back([this, id, write, threshold, answer, deadline] {
            for (auto& t : towers_) {
                if (t->id != id)
                    continue;
                if (t->condition == TowerCondition::Lost || t->condition == TowerCondition::Inaccessible) {
                    answer->set_value(ErrorAnswer(503, "The tower was lost (unplugged, or a read failed)."));
                    return;
                }
                if (t->condition == TowerCondition::Updating) {
                    answer->set_value(ErrorAnswer(409, "A firmware update of the tower runs."));
                    return;
                }
                if (t->condition == TowerCondition::Held) {
                    answer->set_value(ErrorAnswer(409, HeldText(t->heldBy)));
                    return;
                }
                if (t->condition == TowerCondition::FirmwareDiffers) {
                    answer->set_value(ErrorAnswer(409, "The Base Controller runs another firmware."));
                    return;
                }
                if (t->queue.size() >= options_.queueDepth) {
                    answer->set_value(ErrorAnswer(409, "The tower is busy: too many writes are waiting."));
                    return;
                }
                t->queue.push_back(Pending{write, std::nullopt, answer, deadline, threshold});
                StartNext(*t);
                return;
            }
            answer->set_value(ErrorAnswer(404, "No tower '" + id + "'."));
        });
    }
    inboxChanged_.notify_all();
    return result;
}

Answer TowerService::StartUpdate(const std::string& id)
{
    const auto snap = snapshot();
    const TowerView* v = snap->Find(id);
    if (v == nullptr)
        return ErrorAnswer(404, "No tower '" + id + "'.");
    switch (v->condition) {
    case TowerCondition::Online:
    case TowerCondition::FirmwareDiffers:
        break;
    case TowerCondition::Held:
        return ErrorAnswer(409, HeldText(v->heldBy));
    case TowerCondition::Updating:
        return ErrorAnswer(409, "A firmware update of the tower runs.");
    case TowerCondition::Connecting:
        return ErrorAnswer(503, "The tower has not reported its whole state yet.");
    case TowerCondition::Lost:
    case TowerCondition::Inaccessible:
        return ErrorAnswer(503, "The tower was lost (unplugged, or a read failed).");
    }
    const std::string towerId = v->id;
    {
        std::lock_guard<std::mutex> lock(updatesMutex_);
        if (std::find(updating_.begin(), updating_.end(), towerId) != updating_.end())
            return ErrorAnswer(409, "A firmware update of the tower runs.");
        updating_.push_back(towerId);
    }
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        if (stopping_ || !running_) {
            std::lock_guard<std::mutex> l(updatesMutex_);
            updating_.erase(std::remove(updating_.begin(), updating_.end(), towerId), updating_.end());
            return ErrorAnswer(503, "The service is stopping.");
        }
        inbox_.push_back([this, towerId] {
            for (auto& t : towers_)
                if (t->id == towerId) {
                    RunUpdate(*t);
                    break;
                }
            std::lock_guard<std::mutex> l(updatesMutex_);
            updating_.erase(std::remove(updating_.begin(), updating_.end(), towerId), updating_.end());
        });
    }
    inboxChanged_.notify_all();
    return Answer{202, json{{"tower", towerId}, {"update", "started"}, {"events", "/api/v1/events"}}};
}

void TowerService::FailWrites(Tower& t, int status, const std::string& text)
{
    if (t.active && t.active->answer)
        t.active->answer->set_value(ErrorAnswer(status, text));
    t.active.reset();
    t.phase = Tower::Phase::Idle;
    for (Pending& p : t.queue)
        if (p.answer)
            p.answer->set_value(ErrorAnswer(status, text));
    t.queue.clear();
}

void TowerService::RunUpdate(Tower& t)
{
    auto done = [&](const UpdateReport& r) {
        json e{{"event", "update"},        {"tower", t.id},        {"state", "done"},
               {"succeeded", r.succeeded}, {"outcome", r.outcome}, {"result", r.result}};
        if (!r.error.empty())
            e["error"] = r.error;
        Emit(e);
    };
    const TowerCondition before = t.condition;
    if (before != TowerCondition::Online && before != TowerCondition::FirmwareDiffers) {
        UpdateReport r;
        r.error = "The tower is not in step (" + std::string(ConditionName(before)) + ").";
        done(r);
        return;
    }
    if (!t.host) {
        // Not held since its firmware check: taken for the update.
        t.host = std::make_unique<TowerHost>(t.path);
        if (!t.host->Open()) {
            UpdateReport r;
            r.error =
                t.host->heldBy().empty() ? "The tower could not be opened." : HeldText(t.host->heldBy());
            t.host.reset();
            done(r);
            return;
        }
    }
    FailWrites(t, 409, "A firmware update of the tower runs.");
    t.condition = TowerCondition::Updating;
    t.status = nullptr;
    dirty_ = true;
    Publish();
    Emit({{"event", "update"}, {"tower", t.id}, {"state", "started"}});

    // The update holds the poll thread, the watchdog's only feeder, for
    // longer than its period (an erase alone may take 20 s): the watchdog
    // waits for the whole update, and gets its own period back after it.
    const uint64_t watchdogMs = options_.notifyServiceManager ? WatchdogPeriodMs() : 0;
    if (watchdogMs > 0)
        NotifyWatchdogPeriod(kUpdateWatchdogMs);

    // One event per step, and every 10 % within it: enough to follow, few
    // enough for slow readers.
    int lastStep = -1;
    int lastPercent = -100;
    const UpdateReport r =
        t.host->RunUpdate(options_.firmwarePath, [&](int step, const std::string& text, int percent) {
            if (step == lastStep && percent < lastPercent + 10 && percent != 100)
                return;
            if (step == lastStep && percent == lastPercent)
                return;
            lastStep = step;
            lastPercent = percent;
            Emit({{"event", "update"},
                  {"tower", t.id},
                  {"state", "progress"},
                  {"step", step},
                  {"text", text},
                  {"percent", percent}});
        });
    if (watchdogMs > 0)
        NotifyWatchdogPeriod(watchdogMs);
    dirty_ = true;
    if (r.succeeded) {
        // Online again on its new firmware: what clients set goes back
        // once it is in step.
        t.condition = TowerCondition::Connecting;
        t.firmware = -1;
        t.reapply = true;
    } else if (!r.ran && t.host->IsOpen()) {
        // Nothing was flashed (the file is missing): the tower stands as it
        // was.
        if (before == TowerCondition::FirmwareDiffers) {
            t.host->Close();
            t.host.reset();
        }
        t.condition = before == TowerCondition::Online ? TowerCondition::Connecting : before;
    } else {
        if (t.host)
            t.host->Close();
        t.host.reset();
        t.condition = TowerCondition::Lost;
        Emit({{"event", "lost"}, {"tower", t.id}, {"reason", "update failed"}});
    }
    done(r);
}

std::future<void> TowerService::RunOnPollThread(std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> result = done->get_future();
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        if (stopping_ || !running_) {
            work();
            done->set_value();
            return result;
        }
        inbox_.push_back([work = std::move(work), done] {
            work();
            done->set_value();
        });
    }
    inboxChanged_.notify_all();
    return result;
}

void TowerService::Loop()
{
    using Clock = std::chrono::steady_clock;
    auto nextTick = Clock::now();
    auto nextScan = Clock::now();
    // The watchdog hears from this thread, so a poll loop that hangs is
    // what the service manager sees and restarts.
    const uint64_t watchdogMs = options_.notifyServiceManager ? WatchdogPeriodMs() : 0;
    auto nextWatchdog = Clock::now();
    bool ready = false;
    auto tickSoon = [&] {
        if (tickNow_)
            nextTick = std::min(nextTick, Clock::now());
        tickNow_ = false;
    };
    for (;;) {
        tickSoon();
        std::vector<std::function<void()>> work;
        bool stop = false;
        {
            std::unique_lock<std::mutex> lock(inboxMutex_);
            inboxChanged_.wait_until(lock, std::min(nextTick, nextScan),
                                     [this] { return stopping_ || !inbox_.empty(); });
            work.swap(inbox_);
            stop = stopping_;
        }
        for (auto& w : work)
            w();
        if (stop)
            break;
        tickSoon();
        const auto now = Clock::now();
        if (now >= nextScan) {
            Rescan();
            nextScan = Clock::now() + options_.rescanInterval;
        }
        if (now >= nextTick) {
            if (options_.tickObserver)
                options_.tickObserver(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - nextTick).count());
            TickAll();
            nextTick += std::chrono::milliseconds(kPollTickMs);
            // A tick that ran long is not made up for with a burst.
            if (nextTick < Clock::now())
                nextTick = Clock::now() + std::chrono::milliseconds(kPollTickMs);
        }
        if (!work.empty())
            dirty_ = true;
        Publish();
        if (options_.notifyServiceManager && !ready) {
            ready = true;
            NotifyReady();
        }
        if (watchdogMs > 0 && Clock::now() >= nextWatchdog) {
            NotifyWatchdog();
            // A quarter period: a paced send sequence (up to about half a
            // second) holds the thread between two beats.
            nextWatchdog = Clock::now() + std::chrono::milliseconds(watchdogMs / 4);
        }
    }

    // Whatever waits is answered; every tower left as "Close" leaves it.
    std::vector<std::function<void()>> late;
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        late.swap(inbox_);
    }
    for (auto& w : late)
        w();
    for (auto& t : towers_) {
        if (t->active && t->active->answer)
            t->active->answer->set_value(ErrorAnswer(503, "The service is stopping."));
        t->active.reset();
        for (Pending& p : t->queue)
            if (p.answer)
                p.answer->set_value(ErrorAnswer(503, "The service is stopping."));
        t->queue.clear();
        if (t->host)
            t->host->Close();
        t->host.reset();
    }
    events_.Close();
}

bool TowerService::Wanted(const AttachedTower& a) const
{
    return options_.devices.empty() ||
           std::find(options_.devices.begin(), options_.devices.end(), a.path) != options_.devices.end();
}

void TowerService::Rescan()
{
    const std::vector<AttachedTower> attached = ListAttachedTowers();
    std::vector<std::string> bootloaders = ListBootloaderPaths();
    if (bootloaders != bootloaders_) {
        bootloaders_ = std::move(bootloaders);
        dirty_ = true;
    }
    for (auto& t : towers_)
        t->seenInScan = false;

    for (const AttachedTower& a : attached) {
        if (!Wanted(a))
            continue;
        Tower* match = nullptr;
        for (auto& t : towers_) {
            const bool same = !a.serialNumber.empty() ? t->serialNumber == a.serialNumber
                                                      : t->serialNumber.empty() && t->path == a.path;
            if (same) {
                match = t.get();
                break;
            }
        }
        if (match == nullptr) {
            auto t = std::make_unique<Tower>();
            t->id = std::to_string(nextId_++);
            t->serialNumber = a.serialNumber;
            t->path = a.path;
            t->condition = TowerCondition::Lost;
            match = t.get();
            towers_.push_back(std::move(t));
            TakeTower(*match, a.path);
            match->seenInScan = true;
            continue;
        }
        match->seenInScan = true;
        if (match->condition == TowerCondition::Lost || match->condition == TowerCondition::Inaccessible ||
            match->condition == TowerCondition::Held)
            TakeTower(*match, a.path);
    }

    // A tower not held that left the list is lost; one whose firmware
    // differs is taken again once it returns.
    for (auto& t : towers_) {
        if (t->seenInScan || t->condition == TowerCondition::Lost)
            continue;
        if (t->condition == TowerCondition::FirmwareDiffers || t->condition == TowerCondition::Inaccessible ||
            t->condition == TowerCondition::Held)
            MarkLost(*t, "unplugged");
    }
}

void TowerService::TakeTower(Tower& t, const std::string& path)
{
    t.path = path;
    t.host = std::make_unique<TowerHost>(path);
    if (!t.host->Open()) {
        const std::string holder = t.host->heldBy();
        t.host.reset();
        if (!holder.empty()) {
            // Another program holds it: nothing was sent; tried again at
            // each search until it lets go.
            if (t.condition != TowerCondition::Held || t.heldBy != holder) {
                t.condition = TowerCondition::Held;
                t.heldBy = holder;
                dirty_ = true;
                Emit({{"event", "held"}, {"tower", t.id}, {"path", t.path}, {"heldBy", holder}});
            }
            return;
        }
        t.heldBy.clear();
        if (t.condition != TowerCondition::Inaccessible) {
            t.condition = TowerCondition::Inaccessible;
            dirty_ = true;
            Emit({{"event", "inaccessible"}, {"tower", t.id}, {"path", t.path}});
        }
        return;
    }
    t.condition = TowerCondition::Connecting;
    t.heldBy.clear();
    // Taken again after a loss: what clients set goes back once in step.
    t.reapply = t.takenBefore;
    t.takenBefore = true;
    t.status = nullptr;
    dirty_ = true;
    Emit({{"event", "arrived"},
          {"tower", t.id},
          {"path", t.path},
          {"serialNumber", t.serialNumber.empty() ? json(nullptr) : json(t.serialNumber)}});
}

void TowerService::MarkLost(Tower& t, const std::string& why)
{
    const char* text = "The tower was lost (unplugged, or a read failed).";
    if (t.active && t.active->answer)
        t.active->answer->set_value(ErrorAnswer(503, text));
    t.active.reset();
    t.phase = Tower::Phase::Idle;
    for (Pending& p : t.queue)
        if (p.answer)
            p.answer->set_value(ErrorAnswer(503, text));
    t.queue.clear();
    if (t.host)
        t.host->Close();
    t.host.reset();
    t.condition = TowerCondition::Lost;
    t.status = nullptr;
    dirty_ = true;
    Emit({{"event", "lost"}, {"tower", t.id}, {"reason", why}});
}

void TowerService::TickAll()
{
    for (auto& tp : towers_) {
        Tower& t = *tp;
        ExpireWaiting(t);
        if (!t.host)
            continue;
        t.host->Tick();
        if (t.host->firmwareDiffers()) {
            // The session declined the update and closed the link.
            t.firmware = t.host->firmware();
            t.host->Close();
            t.host.reset();
            if (t.active && t.active->answer)
                t.active->answer->set_value(ErrorAnswer(409, "The Base Controller runs another firmware."));
            t.active.reset();
            t.phase = Tower::Phase::Idle;
            for (Pending& p : t.queue)
                if (p.answer)
                    p.answer->set_value(ErrorAnswer(409, "The Base Controller runs another firmware."));
            t.queue.clear();
            t.condition = TowerCondition::FirmwareDiffers;
            t.status = nullptr;
            dirty_ = true;
            Emit({{"event", "firmwareDiffers"},
                  {"tower", t.id},
                  {"firmware", t.firmware >= 0 ? json(VersionText(t.firmware)) : json(nullptr)},
                  {"programFirmware", VersionText(ProgramFirmwareVersion())}});
            continue;
        }
        if (!t.host->IsOpen() || t.host->ended()) {
            MarkLost(t, "read failed");
            continue;
        }
        if (t.host->firmware() != t.firmware) {
            t.firmware = t.host->firmware();
            dirty_ = true;
        }
        if (t.condition == TowerCondition::Connecting && t.host->complete()) {
            t.condition = TowerCondition::Online;
            dirty_ = true;
            if (t.reapply)
                QueueReapply(t);
            t.reapply = false;
            StartNext(t);
        }
        if (t.condition != TowerCondition::Online)
            continue;
        Advance(t);
        RefreshStatus(t);
    }
}

void TowerService::RefreshStatus(Tower& t)
{
    json now = t.host->Status();
    now["id"] = t.id;
    now["state"] = ConditionName(t.condition);
    if (now != t.status) {
        t.status = now;
        dirty_ = true;
        Emit({{"event", "state"}, {"tower", t.id}, {"status", now}});
    }
}

void TowerService::ExpireWaiting(Tower& t)
{
    // Writes that never came to their turn (the tower not in step in time).
    const uint64_t now = NowMs();
    for (auto it = t.queue.begin(); it != t.queue.end();) {
        if (now < it->deadlineMs) {
            ++it;
            continue;
        }
        if (it->answer)
            it->answer->set_value(ErrorAnswer(504, "The tower was not in step in time for the write."));
        it = t.queue.erase(it);
    }
}

void TowerService::QueueReapply(Tower& t)
{
    // In row order, ahead of whatever clients queued meanwhile.
    std::deque<Pending> mine;
    const RowBytes addresses = t.host->addresses();
    const RowBytes codes = t.host->patternCodes();
    const uint64_t deadline = NowMs() + static_cast<uint64_t>(options_.confirmTimeout.count());
    for (int row = 0; row < kRowCount; ++row) {
        const Tower::Wanted& w = t.wanted[Index(row)];
        if (w.address == 0 || addresses[Index(row)] != w.address)
            continue;
        SegmentWrite write;
        write.row = row;
        write.address = w.address;
        std::optional<int> position;
        if (w.hasPattern && (codes[Index(row)] != w.code || t.host->level(row) != w.level)) {
            write.code = w.code;
            position = w.sliderPosition;
        }
        if (w.hasOn && t.host->on(row) != w.on)
            write.on = w.on;
        if (write.code || write.on)
            mine.push_back(Pending{write, position, nullptr, deadline, std::nullopt});
    }
    for (auto it = mine.rbegin(); it != mine.rend(); ++it)
        t.queue.push_front(std::move(*it));
}

void TowerService::Finish(Tower& t, Answer answer)
{
    // What the answer reports is in the snapshot before the client has it:
    // a read right after the answer sees the write.
    if (t.host && t.condition == TowerCondition::Online) {
        RefreshStatus(t);
        Publish();
    }
    if (t.active && t.active->answer)
        t.active->answer->set_value(std::move(answer));
    t.active.reset();
    t.phase = Tower::Phase::Idle;
}

void TowerService::FinishThreshold(Tower& t, ThresholdStep step)
{
    switch (step) {
    case ThresholdStep::Confirmed:
        Finish(t, Answer{200, json{{"tower", t.id},
                                   {"switchingThreshold", t.host->Status().at("switchingThreshold")}}});
        return;
    case ThresholdStep::Failed:
        Finish(t, ErrorAnswer(502, ThresholdFailedText()));
        return;
    case ThresholdStep::WriteFailed:
        Finish(t, ErrorAnswer(502, "Warning: Failed send to device!"));
        return;
    case ThresholdStep::NotReported:
        Finish(t, ErrorAnswer(503, "The tower has not reported its switching threshold yet."));
        return;
    case ThresholdStep::Pending:
        return;
    }
}

void TowerService::StartNext(Tower& t)
{
    while (!t.active && !t.queue.empty()) {
        if (t.condition != TowerCondition::Online || !t.host)
            return;  // waits until in step (or is failed when lost)
        t.active = std::move(t.queue.front());
        t.queue.pop_front();
        Pending& p = *t.active;
        const SegmentWrite& w = p.write;
        if (NowMs() >= p.deadlineMs) {
            Finish(t, ErrorAnswer(504, "The write did not come to its turn in time."));
            continue;
        }
        if (p.threshold) {
            const ThresholdStep step = t.host->SendThreshold(*p.threshold);
            if (step == ThresholdStep::Pending) {
                t.phase = Tower::Phase::Threshold;
                return;
            }
            FinishThreshold(t, step);
            continue;
        }
        // Checked again against the tower as it is now: nothing is sent
        // for a write that no longer fits it.
        const RowBytes addresses = t.host->addresses();
        if (w.row < 0 || w.row >= kRowCount || addresses[Index(w.row)] != w.address ||
            !RowPresent(w.row, addresses)) {
            Finish(t, ErrorAnswer(409, "The tower's segments changed; read its status again."));
            continue;
        }
        if (w.code || w.percent) {
            const uint8_t code = w.code ? *w.code : t.host->patternCodes()[Index(w.row)];
            int position = -1;
            if (p.sliderPosition)
                position = *p.sliderPosition;
            else if (w.percent) {
                position = SliderPositionFor(w.row, code, *w.percent);
                if (position < 0) {
                    Finish(t,
                           ErrorAnswer(409, "The level is beyond the scale of the segment's pattern now."));
                    continue;
                }
            }
            uint16_t level = 0;
            if (!t.host->SendPattern(w.row, code, position, level)) {
                Finish(t, ErrorAnswer(502, "Warning: Failed send to device!"));
                continue;
            }
            t.expectCode = code;
            t.expectLevel = level;
            t.phase = Tower::Phase::Pattern;
            return;
        }
        t.phase = Tower::Phase::Pattern;
        t.expectCode = t.host->patternCodes()[Index(w.row)];
        t.expectLevel = t.host->level(w.row);
        Advance(t);
    }
}

void TowerService::Advance(Tower& t)
{
    if (!t.active) {
        StartNext(t);
        return;
    }
    Pending& p = *t.active;
    const SegmentWrite& w = p.write;
    const int row = w.row;
    if (NowMs() >= p.deadlineMs) {
        Finish(t, ErrorAnswer(504, "The tower did not confirm the write in time."));
        StartNext(t);
        return;
    }
    if (t.phase == Tower::Phase::Threshold) {
        const ThresholdStep step = t.host->ThresholdTick();
        if (step == ThresholdStep::Pending)
            return;
        FinishThreshold(t, step);
        StartNext(t);
        return;
    }
    Tower::Wanted& wanted = t.wanted[Index(row)];
    if (t.phase == Tower::Phase::Pattern) {
        if (t.host->patternCodes()[Index(row)] != t.expectCode || t.host->level(row) != t.expectLevel)
            return;
        if (w.code || w.percent) {
            wanted.address = w.address;
            wanted.hasPattern = true;
            wanted.code = t.expectCode;
            wanted.sliderPosition = t.host->sliderPosition(row);
            wanted.level = t.expectLevel;
        }
        if (w.on && t.host->on(row) != *w.on) {
            t.refreshesBefore = t.host->panelRefreshes();
            t.host->PressSwitch(row);
            t.phase = Tower::Phase::Switch;
            tickNow_ = true;
            return;
        }
    } else if (t.phase == Tower::Phase::Switch) {
        // The tick after the button sends the state reports.
        if (t.host->panelRefreshes() <= t.refreshesBefore)
            return;
        if (t.host->lastWriteFailed()) {
            Finish(t, ErrorAnswer(502, "Warning: Failed send to device!"));
            StartNext(t);
            return;
        }
    }
    if (w.on) {
        wanted.address = w.address;
        wanted.hasOn = true;
        wanted.on = *w.on;
    }
    json status = t.host->Status();
    Finish(t, Answer{200, json{{"tower", t.id}, {"segment", SegmentOf(status, row)}}});
    StartNext(t);
}

void TowerService::Emit(json event)
{
    events_.Publish(event.dump(-1, ' ', false, json::error_handler_t::replace));
}

void TowerService::Publish()
{
    if (!dirty_)
        return;
    dirty_ = false;
    auto snap = std::make_shared<Snapshot>();
    std::vector<ListedTower> listed;
    for (auto& t : towers_) {
        TowerView v;
        v.id = t->id;
        v.path = t->path;
        v.serialNumber = t->serialNumber;
        v.condition = t->condition;
        v.firmware = t->firmware;
        v.heldBy = t->heldBy;
        if (t->host) {
            v.addresses = t->host->addresses();
            v.patternCodes = t->host->patternCodes();
        }
        v.status = t->status;
        snap->towers.push_back(v);
        ListedTower l;
        l.path = t->path;
        l.serialNumber = t->serialNumber;
        l.firmware = t->firmware;
        l.accessible = t->condition != TowerCondition::Inaccessible && t->condition != TowerCondition::Lost &&
                       t->condition != TowerCondition::Held;
        l.heldBy = t->heldBy;
        listed.push_back(l);
    }
    snap->list = DeviceListJson(listed, bootloaders_);
    json& controllers = snap->list["baseControllers"];
    for (size_t i = 0; i < snap->towers.size() && i < controllers.size(); ++i) {
        controllers[i]["id"] = snap->towers[i].id;
        controllers[i]["state"] = ConditionName(snap->towers[i].condition);
    }
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    snapshot_ = std::move(snap);
}

}  // namespace kv::service
