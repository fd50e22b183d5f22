// The Qt Widgets backend: a QApplication on the toolkit's interface thread, views of QDialogs,
// Qt's message boxes and file dialogs.
#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPixmapCache>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <map>

#include "../toolkit.h"
#include "../window.h"
#include "../window_registry.h"
#include "qt_text.h"
#include "qt_view.h"

namespace ui::detail {

namespace {

QWidget* widgetOf(HWND hwnd) {
    Toolkit* tk = Toolkit::existing();
    auto w = tk && hwnd ? tk->windowOf(hwnd) : nullptr;
    auto* view = w ? dynamic_cast<QtView*>(w->view.get()) : nullptr;
    return view ? view->widget() : nullptr;
}

// A filter's patterns as Qt reads them: "*.*" means every file, several are separated by
// blanks inside the parentheses.
QString qtFilter(const std::string& description, const std::string& patterns) {
    QStringList list;
    for (const QString& p : toQ(patterns).split(';', Qt::SkipEmptyParts)) list << (p.trimmed() == "*.*" ? "*" : p.trimmed());
    QString desc = toQ(description).trimmed();
    // "Bin Files (*.bin)" already shows its patterns; Qt takes the last parentheses as the list.
    if (desc.endsWith(')') && desc.lastIndexOf('(') > 0) desc = desc.left(desc.lastIndexOf('(')).trimmed();
    return desc + " (" + list.join(' ') + ")";
}

class QtBackend : public Backend {
public:
    const char* name() const override { return "qt"; }
    bool hasWindows() const override { return true; }

    void start() override {
        static int argc = 1;
        static char program[] = "zelfin";
        static char* argv[] = {program, nullptr};
        app_ = new QApplication(argc, argv);  // kept for the life of the process
        app_->setQuitOnLastWindowClosed(false);
        dispatcher_ = new QObject();
        // Made now, before the toolkit registers its exit handler, so that the exit runs that
        // handler (park) before it destroys the cache.
        QPixmapCache::setCacheLimit(QPixmapCache::cacheLimit());
    }

    void runMain() override { app_->exec(); }

    void park() override {
        for (auto& [id, timer] : timers_) timer->stop();
        // The pixmap cache is a global with a timer of this thread; the exit would destroy it
        // from the main thread.
        QPixmapCache::clear();
    }

    bool post(std::function<void()> task) override {
        return QMetaObject::invokeMethod(dispatcher_, std::move(task), Qt::QueuedConnection);
    }

    void runUntil(const std::function<bool()>& done) override {
        while (!done()) {
            QEventLoop loop;
            loops_.push_back({&loop, &done});
            loop.exec();
            loops_.pop_back();
        }
    }

    void wake() override {
        for (const Loop& l : loops_)
            if ((*l.done)()) l.loop->quit();
    }

    int startTimer(std::chrono::nanoseconds period, std::function<void()> tick) override {
        auto* timer = new QTimer(dispatcher_);
        const auto ms = std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::milliseconds>(period).count());
        timer->setTimerType(ms < 20 ? Qt::PreciseTimer : Qt::CoarseTimer);
        timer->setInterval(static_cast<int>(std::min<int64_t>(ms, INT32_MAX)));
        QObject::connect(timer, &QTimer::timeout, dispatcher_, std::move(tick));
        timer->start();
        const int id = nextTimer_++;
        timers_[id] = timer;
        return id;
    }

    void stopTimer(int id) override {
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        it->second->stop();
        it->second->deleteLater();  // it may be telling its own tick right now
        timers_.erase(it);
    }

    std::unique_ptr<View> createView(Window& window) override {
        return std::make_unique<QtView>(window, widgetOf(window.owner));
    }

    int messageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) override {
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        switch (type & MB_ICONMASK) {
            case MB_ICONERROR: icon = QMessageBox::Critical; break;
            case MB_ICONQUESTION: icon = QMessageBox::Question; break;
            case MB_ICONEXCLAMATION: icon = QMessageBox::Warning; break;
            case MB_ICONINFORMATION: icon = QMessageBox::Information; break;
            default: break;
        }
        struct Button {
            QMessageBox::StandardButton qt;
            int id;
        };
        std::vector<Button> buttons;
        switch (type & MB_TYPEMASK) {
            case MB_OKCANCEL: buttons = {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}}; break;
            case MB_ABORTRETRYIGNORE:
                buttons = {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
                break;
            case MB_YESNOCANCEL:
                buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
                break;
            case MB_YESNO: buttons = {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}}; break;
            case MB_RETRYCANCEL: buttons = {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}}; break;
            default: buttons = {{QMessageBox::Ok, IDOK}}; break;
        }
        QMessageBox::StandardButtons set;
        for (const Button& b : buttons) set |= b.qt;
        QPointer<QMessageBox> box = new QMessageBox(icon, toQ(caption), toQ(text), set, widgetOf(owner));
        const size_t def = std::min<size_t>((type & MB_DEFMASK) >> 8, buttons.size() - 1);
        box->setDefaultButton(buttons[def].qt);
        if (type & (MB_TOPMOST | MB_SYSTEMMODAL)) box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
        // The box is a top-level window of its own, found by its caption like any other.
        HWND hwnd = WindowRegistry::instance().add(caption, [box](WindowRequest r) {
            if (!box) return;
            if (r == WindowRequest::Close) {
                box->reject();
                return;
            }
            if (!hasWindowManager()) return;
            box->raise();
            box->activateWindow();
        });
        box->exec();
        WindowRegistry::instance().remove(hwnd);
        int result = buttons.front().id;
        if (box) {
            const QMessageBox::StandardButton chosen = box->standardButton(box->clickedButton());
            for (const Button& b : buttons)
                if (b.qt == chosen) result = b.id;
            // Closed without a button: Cancel when the box has it, else its first button.
            if (chosen == QMessageBox::NoButton)
                for (const Button& b : buttons)
                    if (b.id == IDCANCEL) result = IDCANCEL;
            delete box;
        }
        return result;
    }

    std::optional<std::string> fileDialog(const FileDialogRequest& r, const std::string& hostDir) override {
        QFileDialog dialog(widgetOf(r.owner), toQ(r.title.empty() ? (r.save ? "Save As" : "Open") : r.title),
                           toQ(hostDir));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(!r.save && (r.flags & OFN_FILEMUSTEXIST) ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        if (!(r.flags & OFN_OVERWRITEPROMPT)) dialog.setOption(QFileDialog::DontConfirmOverwrite);
        QStringList filters;
        for (const auto& [desc, patterns] : splitFilter(r.filter)) filters << qtFilter(desc, patterns);
        const bool wildcard = r.initialName.find_first_of("*?") != std::string::npos;
        // A name with wildcards is a filter of its own, chosen first.
        if (wildcard) {
            const QString own = qtFilter(r.initialName, r.initialName);
            if (!filters.contains(own)) filters.prepend(own);
        }
        if (!filters.isEmpty()) dialog.setNameFilters(filters);
        if (wildcard) dialog.selectNameFilter(qtFilter(r.initialName, r.initialName));
        else if (!r.initialName.empty()) dialog.selectFile(toQ(r.initialName));
        if (!r.defaultExt.empty()) dialog.setDefaultSuffix(toQ(r.defaultExt));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
        return fromQ(dialog.selectedFiles().first());
    }

private:
    struct Loop {
        QEventLoop* loop;
        const std::function<bool()>* done;
    };
    QApplication* app_ = nullptr;
    QObject* dispatcher_ = nullptr;
    std::vector<Loop> loops_;
    std::map<int, QTimer*> timers_;
    int nextTimer_ = 1;
};

}  // namespace

std::unique_ptr<Backend> makeQtBackend() { return std::make_unique<QtBackend>(); }

}  // namespace ui::detail
