#include "platform/qt/qt_window.h"

#include <QApplication>
#include <QEvent>

#include <algorithm>

namespace platform::qt {

namespace {

QEvent::Type WakeEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

}  // namespace

// Lives on the GUI thread; the wake events posted to it make the window run its queue there.
class QtWindow::Waker final : public QObject {
public:
    explicit Waker(QtWindow* window) : window_(window) {}
    bool event(QEvent* event) override {
        if (event->type() != WakeEventType()) return QObject::event(event);
        {
            std::lock_guard lock(window_->mutex_);
            window_->wakePending_ = false;
        }
        window_->Drain(false);
        return true;
    }

private:
    QtWindow* window_;
};

QtWindow::QtWindow(ui::WindowProc proc, QWidget* widget, NestingRule nestable)
    : proc_(std::move(proc)),
      widget_(widget),
      nestable_(std::move(nestable)),
      owner_(std::this_thread::get_id()),
      waker_(std::make_unique<Waker>(this)) {}

QtWindow::~QtWindow() = default;

ui::LRESULT QtWindow::Send(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) {
    if (OnGuiThread()) {
        {
            std::lock_guard lock(mutex_);
            if (destroyed_ || halted_) return 0;
        }
        return Dispatch(message, wParam, lParam);
    }
    auto item = std::make_shared<Item>();
    item->message = message;
    item->wParam = wParam;
    item->lParam = lParam;
    item->sent = true;
    std::unique_lock lock(mutex_);
    // Nobody would ever run it: the window is gone, or its loop has ended.
    if (destroyed_ || loopEnded_ || halted_) return 0;
    queue_.push_back(item);
    WakeLocked();
    done_.wait(lock, [&] { return item->finished || destroyed_ || loopEnded_; });
    return item->finished ? item->result : 0;
}

bool QtWindow::Post(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) {
    auto item = std::make_shared<Item>();
    item->message = message;
    item->wParam = wParam;
    item->lParam = lParam;
    std::lock_guard lock(mutex_);
    if (destroyed_) return false;
    queue_.push_back(std::move(item));
    WakeLocked();
    return true;
}

void QtWindow::Destroy() {
    if (!OnGuiThread()) return;  // other threads post WM_CLOSE
    {
        std::lock_guard lock(mutex_);
        if (destroyed_ || destroying_) return;
        destroying_ = true;
    }
    proc_(this, ui::WM_DESTROY, 0, 0);
    if (widget_) widget_->hide();
    std::lock_guard lock(mutex_);
    destroyed_ = true;
    queue_.clear();
    done_.notify_all();
}

bool QtWindow::IsDestroyed() const {
    std::lock_guard lock(mutex_);
    return destroyed_;
}

int QtWindow::RunMessageLoop() {
    {
        std::lock_guard lock(mutex_);
        loopEnded_ = false;
        if (!queue_.empty()) WakeLocked();
    }
    const int code = QApplication::exec();
    std::lock_guard lock(mutex_);
    EndLoopLocked();
    return code;
}

void QtWindow::Quit(int exitCode) { QCoreApplication::exit(exitCode); }

void QtWindow::Show(int command) {
    if (!OnGuiThread()) {
        QMetaObject::invokeMethod(
            waker_.get(), [this, command] { Show(command); }, Qt::QueuedConnection);
        return;
    }
    if (!widget_ || IsDestroyed()) return;
    if (command == ui::SW_HIDE) {
        widget_->hide();
        return;
    }
    widget_->showNormal();
    widget_->raise();
    widget_->activateWindow();
    // A box or dialog open over the window stays above it, where the user can answer it.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != widget_) {
        modal->show();
        modal->raise();
        modal->activateWindow();
    }
}

bool QtWindow::DispatchSent() { return OnGuiThread() && Drain(true); }

bool QtWindow::SetTimer(std::uintptr_t id, std::uint32_t elapseMs) {
    if (!OnGuiThread() || IsDestroyed()) return false;
    std::unique_ptr<QTimer>& timer = timers_[id];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, waker_.get(), [this, id] {
            std::lock_guard lock(mutex_);
            if (destroyed_) return;
            // At most one WM_TIMER of a timer waits.
            for (const auto& item : queue_) {
                if (item->message == ui::WM_TIMER && item->wParam == id && !item->task) return;
            }
            auto item = std::make_shared<Item>();
            item->message = ui::WM_TIMER;
            item->wParam = id;
            queue_.push_back(std::move(item));
            WakeLocked();
        });
    }
    timer->start(static_cast<int>(std::min<std::uint32_t>(std::max<std::uint32_t>(elapseMs, 1), 0x7FFFFFFF)));
    return true;
}

bool QtWindow::KillTimer(std::uintptr_t id) {
    if (!OnGuiThread()) return false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(queue_, [id](const auto& i) {
            return i->message == ui::WM_TIMER && i->wParam == id && !i->task && !i->sent;
        });
    }
    return timers_.erase(id) > 0;
}

bool QtWindow::RunOnWindowThread(const std::function<void()>& task) {
    if (OnGuiThread()) {
        task();
        return true;
    }
    auto item = std::make_shared<Item>();
    item->sent = true;
    item->task = task;
    std::unique_lock lock(mutex_);
    if (destroyed_ || loopEnded_) return false;
    queue_.push_back(item);
    WakeLocked();
    done_.wait(lock, [&] { return item->finished || destroyed_ || loopEnded_; });
    return item->finished;
}

void QtWindow::Halt() {
    std::lock_guard lock(mutex_);
    halted_ = true;
}

ui::LRESULT QtWindow::Dispatch(std::uint32_t message, ui::WPARAM wParam, ui::LPARAM lParam) {
    {
        std::lock_guard lock(mutex_);
        ++depth_;
    }
    const ui::LRESULT result = proc_(this, message, wParam, lParam);
    // The default handling of an unhandled close: the window goes.
    if (message == ui::WM_CLOSE && result == 0) Destroy();
    std::lock_guard lock(mutex_);
    // What had to wait for this message runs now, from the event loop.
    if (--depth_ == 0 && !queue_.empty()) WakeLocked();
    return result;
}

bool QtWindow::Drain(bool sentOnly) {
    bool ran = false;
    for (;;) {
        std::shared_ptr<Item> item;
        {
            std::lock_guard lock(mutex_);
            if (destroyed_ || halted_) return ran;
            auto next = std::find_if(queue_.begin(), queue_.end(), [&](const std::shared_ptr<Item>& i) {
                if (sentOnly && !i->sent) return false;
                return depth_ == 0 || i->task || (nestable_ && nestable_(i->message, i->wParam));
            });
            if (next == queue_.end()) return ran;
            item = *next;
            queue_.erase(next);
        }
        ui::LRESULT result = 0;
        if (item->task) {
            item->task();
        } else {
            result = Dispatch(item->message, item->wParam, item->lParam);
        }
        ran = true;
        std::lock_guard lock(mutex_);
        item->result = result;
        item->finished = true;
        done_.notify_all();
    }
}

void QtWindow::WakeLocked() {
    if (wakePending_ || !QCoreApplication::instance()) return;
    wakePending_ = true;
    QCoreApplication::postEvent(waker_.get(), new QEvent(WakeEventType()));
}

void QtWindow::EndLoopLocked() {
    loopEnded_ = true;
    queue_.clear();
    done_.notify_all();
}

QtWindow* AsQtWindow(ui::HWND window) { return dynamic_cast<QtWindow*>(window); }

}  // namespace platform::qt
