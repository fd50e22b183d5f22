// A dialog's windows in Qt: a fixed-size QDialog with one widget per control, placed by dialog
// units converted with the dialog font's base units. Widgets mirror the controls' state; what the
// operator does to them goes back to the Window, which tells the dialog.
#pragma once
#include <QDialog>
#include <QFont>
#include <QPointer>
#include <vector>

#include "../backend.h"
#include "../window.h"

class QMenu;

namespace ui::detail {

class QtView;

// False on the offscreen and minimal platforms, which have no window order to change (and say
// so at each try).
bool hasWindowManager();

class DialogWidget : public QDialog {
public:
    DialogWidget(QtView* view, QWidget* parent);
    QtView* view = nullptr;  // cleared when the view goes first

    void showMenu(const QPoint& globalPos);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

class QtView : public View {
public:
    QtView(Window& window, QWidget* parent);
    ~QtView() override;

    QWidget* widget() const { return dialog_; }
    Window& window() { return window_; }

    BaseUnits baseUnits() const override { return units_; }
    void show() override;
    void sync(const Control& control) override;
    void syncTitle(const std::string& title) override;
    void syncFocus(int id) override;
    void syncMenu() override {}  // the menu is made each time it opens
    void setIcon(const std::vector<uint8_t>& icoFile) override;
    void raise(bool restore) override;
    void move(int x, int y, int cx, int cy, bool topmost) override;
    void bringToTop() override;
    Size clientSize() const override;
    int clientWidth(const Control& control) const override;
    bool screenshot(const std::string& path) override;
    bool clickWidget(int id) override;
    bool typeIntoWidget(int id, const std::string& text) override;

    // Enter: the focused push button, else the default one, else IDOK, as a dialog does it.
    void pressEnter();
    // Events of the widgets' insides (a click beside a list view's rows).
    bool filter(QObject* watched, QEvent* event);

private:
    QWidget* makeWidget(const Control& c);
    void connectWidget(size_t index, QWidget* w);
    void syncList(const Control& c, QWidget* w);
    void place(const Control& c, QWidget* w);
    QWidget* widgetOf(int id) const;
    int indexOf(const QObject* widget) const;

    Window& window_;
    QPointer<DialogWidget> dialog_;
    QFont font_;
    BaseUnits units_;
    std::vector<QWidget*> widgets_;  // by the controls' order
    bool syncing_ = false;           // widget changes made by sync are not the operator's
    bool placed_ = false;            // moved by the program: showing keeps that place
};

}  // namespace ui::detail
