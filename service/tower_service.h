// TowerService: the towers held for every client.
//
// One poll thread owns every TowerHost (one per Base Controller found) and
// runs their ticks every 30 ms. Nothing else touches a tower: the HTTP
// threads read the latest Snapshot, an immutable value swapped under a
// mutex, and queue writes, which the poll thread carries out one after the
// other per tower and answers through a future once the tower reports them
// back (or with the failure).
//
// A tower that is lost stays known under its id and is taken again when it
// returns (matched by serial number where it has one, else by device path);
// what clients set on it is then sent again where the tower does not report
// it. A tower whose firmware differs from the program's is not updated: it
// is shown as such and not held until it is plugged in again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/event_log.h"
#include "service/tower_host.h"

namespace kv::service {

// How a tower stands with the service.
enum class TowerCondition {
    Connecting,       // open, its whole state not reported yet
    Online,           // open and in step
    Lost,             // unplugged or failed; taken again when it returns
    FirmwareDiffers,  // runs another firmware; not held until replugged
    Inaccessible,     // on the list, but it could not be opened
    Held,             // another program holds it (its lock); tried again
    Updating,         // a client's firmware update runs on it
};
const char* ConditionName(TowerCondition c);

// One tower as the HTTP threads see it.
struct TowerView {
    std::string id;
    std::string path;
    std::string serialNumber;
    TowerCondition condition = TowerCondition::Connecting;
    int firmware = -1;
    std::string heldBy;  // the program holding it, while Held
    RowBytes addresses{};
    RowBytes patternCodes{};
    // As `status --json`, with "id" and "state"; null until in step.
    nlohmann::json status;
};

struct Snapshot {
    std::vector<TowerView> towers;
    // As `list --json`, each Base Controller with its "id" and "state".
    nlohmann::json list;
    const TowerView* Find(const std::string& id) const;
};

// A write to one segment, checked against a snapshot: the row and the
// address it had there, and what to set (at least one).
struct SegmentWrite {
    int row = -1;
    uint8_t address = 0;
    std::optional<uint8_t> code;
    std::optional<int> percent;
    std::optional<bool> on;
};

// What the API answers: an HTTP status and a JSON body.
struct Answer {
    int status = 200;
    nlohmann::json body;
};
Answer ErrorAnswer(int status, const std::string& text);
// Why a tower another program holds is refused.
std::string HeldText(const std::string& holder);

struct ServiceOptions {
    // Only the Base Controllers at these paths; empty: every one attached.
    std::vector<std::string> devices;
    // How long a write may take until the tower reports it back.
    std::chrono::milliseconds confirmTimeout{5000};
    // How often the HID list is searched for towers arriving.
    std::chrono::milliseconds rescanInterval{500};
    // Writes queued per tower beyond the one running; more are refused.
    size_t queueDepth = 16;
    // Tell the service manager (systemd) from the poll thread: ready after
    // the first search for towers, alive (its watchdog) while ticks run.
    bool notifyServiceManager = false;
    // The firmware file an update flashes; empty: the one installed beside
    // the program.
    std::string firmwarePath;
    // Told, on the poll thread, how late each tick started against its
    // schedule, in microseconds (the benchmark's measure).
    std::function<void(int64_t lateUs)> tickObserver;
};

class TowerService {
public:
    explicit TowerService(ServiceOptions options = {});
    ~TowerService();
    TowerService(const TowerService&) = delete;
    TowerService& operator=(const TowerService&) = delete;

    // Starts the poll thread; the first search for towers runs at once.
    void Start();
    // Answers what is queued with 503, closes every tower as "Close" does,
    // ends the poll thread. Called by the destructor too.
    void Stop();

    std::shared_ptr<const Snapshot> snapshot() const;
    EventLog& events() { return events_; }
    const ServiceOptions& options() const { return options_; }

    // Queues a checked write to the tower with that id. The future is
    // answered by the poll thread within the confirm timeout.
    std::future<Answer> Write(const std::string& id, const SegmentWrite& write);

    // Queues the switching threshold tool's send of `raw` (ThresholdRawFor,
    // checked against a snapshot) to the tower with that id, in turn with
    // its writes. The future is answered by the poll thread once the tower
    // reports the value (200), with the tool's failure (502), or within the
    // confirm timeout (504).
    std::future<Answer> SetThreshold(const std::string& id, uint8_t raw);

    // Starts the firmware update of the tower with that id on the poll
    // thread: 202 at once, progress and outcome as "update" events; 409
    // while one runs (or the tower is held elsewhere), 404, 503 when lost.
    Answer StartUpdate(const std::string& id);

    // Runs `work` on the poll thread between two ticks (tests use it to look
    // at the virtual tower, which is not to be touched from another thread).
    std::future<void> RunOnPollThread(std::function<void()> work);

private:
    struct Tower;
    struct Pending;

    std::future<Answer> Queue(const std::string& id, const SegmentWrite& write,
                              std::optional<uint8_t> threshold);
    void FinishThreshold(Tower& t, ThresholdStep step);
    void Loop();
    void Rescan();
    void TickAll();
    void TakeTower(Tower& t, const std::string& path);
    void MarkLost(Tower& t, const std::string& why);
    void Advance(Tower& t);
    void StartNext(Tower& t);
    void Finish(Tower& t, Answer answer);
    // The tower's status as the next snapshot shows it (a "state" event when
    // it changed).
    void RefreshStatus(Tower& t);
    void QueueReapply(Tower& t);
    void ExpireWaiting(Tower& t);
    void Publish();
    void RunUpdate(Tower& t);
    void FailWrites(Tower& t, int status, const std::string& text);
    void Emit(nlohmann::json event);
    bool Wanted(const AttachedTower& a) const;

    ServiceOptions options_;
    EventLog events_;

    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const Snapshot> snapshot_;

    // Work handed to the poll thread.
    std::mutex inboxMutex_;
    std::condition_variable inboxChanged_;
    std::vector<std::function<void()>> inbox_;
    bool stopping_ = false;

    // Poll thread only.
    std::vector<std::unique_ptr<Tower>> towers_;
    std::vector<std::string> bootloaders_;
    int nextId_ = 1;
    bool dirty_ = true;
    // A pressed switch goes out with the poll tick: run that tick now
    // rather than up to a period later.
    bool tickNow_ = false;

    // Towers whose update was started and has not ended (any thread).
    std::mutex updatesMutex_;
    std::vector<std::string> updating_;

    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace kv::service
