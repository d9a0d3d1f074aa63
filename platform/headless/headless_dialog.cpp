#include "platform/headless/headless_dialog.h"

#include "text/text_util.h"

namespace skewmon::platform {
namespace {

const int kControlIds[] = {ctl::kScan,         ctl::kClose,       ctl::kDomainSelector,
                           ctl::kResultsList,  ctl::kHeading,     ctl::kWorst,
                           ctl::kAverage,      ctl::kSummary,     ctl::kExplanation,
                           ctl::kMoreInfo,     ctl::kSaveResults, ctl::kRecommendation,
                           ctl::kWebLink,      ctl::kMaker,       ctl::kResultsGroup};

}  // namespace

const HeadlessControl& HeadlessSnapshot::control(int id) const {
    static const HeadlessControl kNone;
    auto it = controls.find(id);
    return it == controls.end() ? kNone : it->second;
}

HeadlessDialog::HeadlessDialog()
    : bridge_([this] {
          std::lock_guard lock(mutex_);
          bridgeCalls_ = true;
          wake_.notify_all();
      }) {}

HeadlessDialog::~HeadlessDialog() {
    if (thread_.joinable()) {
        post([this] { endDialog(0); });
        thread_.join();
    }
}

void HeadlessDialog::start(DialogEvents& events) {
    {
        std::lock_guard lock(mutex_);
        state_ = HeadlessSnapshot{};
        for (int id : kControlIds) state_.controls[id];
        state_.controls[ctl::kScan].text = "&Scan";
        state_.controls[ctl::kClose].text = "&Close";
        state_.controls[ctl::kMoreInfo].text = "&More Info";
        state_.controls[ctl::kSaveResults].text = "Sa&ve Results";
        state_.controls[ctl::kHeading].text = "Variance from %s";
        state_.controls[ctl::kResultsGroup].text = "Results";
        state_.running = true;
        ending_ = false;
        tasks_.clear();
    }
    bridge_.reopen();
    events_ = &events;
    thread_ = std::thread([this, &events] { run(events); });
}

void HeadlessDialog::run(DialogEvents& events) {
    bridge_.bindToCurrentThread();
    events.onInitDialog(*this);
    std::unique_lock lock(mutex_);
    state_.initialised = true;
    changed();
    while (!ending_) {
        wake_.wait(lock, [&] { return ending_ || bridgeCalls_ || !tasks_.empty(); });
        if (bridgeCalls_) {
            bridgeCalls_ = false;
            lock.unlock();
            bridge_.drain();
            lock.lock();
        } else if (!tasks_.empty() && !ending_) {
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            ++state_.commandsHandled;
            changed();
        }
    }
    lock.unlock();
    events.onDestroy(*this);
    bridge_.close();
    lock.lock();
    state_.running = false;
    changed();
}

int HeadlessDialog::waitForEnd() {
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return state_.result;
}

void HeadlessDialog::post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    wake_.notify_all();
}

void HeadlessDialog::changed() { changed_.notify_all(); }

HeadlessControl& HeadlessDialog::control(int id) { return state_.controls[id]; }

void HeadlessDialog::command(int id, int notification) {
    int target;
    {
        std::lock_guard lock(mutex_);
        target = state_.commandsHandled + static_cast<int>(tasks_.size()) + 1;
    }
    postCommand(id, notification);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(60),
                      [&] { return state_.commandsHandled >= target || !state_.running; });
}

bool HeadlessDialog::waitUntil(const std::function<bool(const HeadlessSnapshot&)>& done,
                               std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(state_); });
}

HeadlessSnapshot HeadlessDialog::snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool HeadlessDialog::runOnDialogThread(const std::function<void()>& fn) { return bridge_.call(fn); }

void HeadlessDialog::setText(int id, std::string_view text) {
    std::lock_guard lock(mutex_);
    control(id).text = text;
    changed();
}

std::string HeadlessDialog::getText(int id, std::size_t capacity) {
    std::lock_guard lock(mutex_);
    return CutToCapacity(control(id).text, capacity);
}

void HeadlessDialog::setCaption(std::string_view text) {
    std::lock_guard lock(mutex_);
    state_.caption = text;
    changed();
}

void HeadlessDialog::enable(int id, bool enabled) {
    std::lock_guard lock(mutex_);
    control(id).enabled = enabled;
    changed();
}

void HeadlessDialog::setFont(int id, const Font* font) {
    std::lock_guard lock(mutex_);
    control(id).font = font;
    changed();
}

void HeadlessDialog::listReset(int id) {
    std::lock_guard lock(mutex_);
    HeadlessControl& list = control(id);
    list.rows.clear();
    list.selected = -1;
    list.top = 0;
    changed();
}

int HeadlessDialog::listAdd(int id, std::string_view row) {
    int index;
    {
        std::lock_guard lock(mutex_);
        HeadlessControl& list = control(id);
        list.rows.emplace_back(row);
        changed();
        index = static_cast<int>(list.rows.size()) - 1;
    }
    if (id == ctl::kResultsList && rowObserver_) rowObserver_(std::string(row));
    return index;
}

void HeadlessDialog::listSelect(int id, int index) {
    std::lock_guard lock(mutex_);
    HeadlessControl& list = control(id);
    if (index >= -1 && index < static_cast<int>(list.rows.size())) list.selected = index;
    changed();
}

void HeadlessDialog::listSetTop(int id, int index) {
    std::lock_guard lock(mutex_);
    HeadlessControl& list = control(id);
    if (index >= 0 && index < static_cast<int>(list.rows.size())) list.top = index;
    changed();
}

int HeadlessDialog::listCount(int id) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(control(id).rows.size());
}

std::string HeadlessDialog::listText(int id, int index, std::size_t capacity) {
    std::lock_guard lock(mutex_);
    const HeadlessControl& list = control(id);
    if (index < 0 || index >= static_cast<int>(list.rows.size())) return {};
    return CutToCapacity(list.rows[static_cast<std::size_t>(index)], capacity);
}

void HeadlessDialog::listSetTabStops(int id, std::span<const int> stops) {
    std::lock_guard lock(mutex_);
    control(id).tabStops.assign(stops.begin(), stops.end());
    changed();
}

void HeadlessDialog::repaintNow(int) {}

void HeadlessDialog::comboReset(int id) { listReset(id); }
int HeadlessDialog::comboAdd(int id, std::string_view entry) {
    std::lock_guard lock(mutex_);
    HeadlessControl& combo = control(id);
    combo.rows.emplace_back(entry);
    changed();
    return static_cast<int>(combo.rows.size()) - 1;
}
void HeadlessDialog::comboSelect(int id, int index) { listSelect(id, index); }
int HeadlessDialog::comboCount(int id) { return listCount(id); }
int HeadlessDialog::comboSelected(int id) {
    std::lock_guard lock(mutex_);
    return control(id).selected;
}
std::string HeadlessDialog::comboText(int id, int index, std::size_t capacity) {
    return listText(id, index, capacity);
}

void HeadlessDialog::postCommand(int id, int notification) {
    post([this, id, notification] { events_->onCommand(*this, id, notification); });
}

void HeadlessDialog::messageBox(std::string_view text, std::string_view title, MessageIcon icon,
                                bool owned) {
    // Nobody is there to read it: it is recorded and dismissed at once.
    std::lock_guard lock(mutex_);
    state_.messages.push_back({std::string(text), std::string(title), icon, owned});
    changed();
}

void HeadlessDialog::pushWaitCursor() {
    std::lock_guard lock(mutex_);
    ++state_.waitCursorDepth;
    changed();
}

void HeadlessDialog::popWaitCursor() {
    std::lock_guard lock(mutex_);
    --state_.waitCursorDepth;
    changed();
}

void HeadlessDialog::beep(int, int milliseconds) {
    {
        std::lock_guard lock(mutex_);
        state_.beeps.push_back(std::chrono::steady_clock::now());
        changed();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void HeadlessDialog::endDialog(int result) {
    std::lock_guard lock(mutex_);
    state_.result = result;
    ending_ = true;
    wake_.notify_all();
}

void HeadlessDialog::bringToForeground() {}

std::unique_ptr<Font> HeadlessWindowSystem::createFont(const FontSpec& spec) {
    return std::make_unique<HeadlessFont>(spec);
}

int HeadlessWindowSystem::runMainDialog(DialogEvents& events) {
    HeadlessDialog* dialog;
    {
        std::lock_guard lock(mutex_);
        dialog = dialogs_.emplace_back(std::make_unique<HeadlessDialog>()).get();
    }
    dialog->start(events);
    shown_ = dialog;
    const int result = dialog->waitForEnd();
    shown_ = nullptr;
    return result;
}

}  // namespace skewmon::platform
