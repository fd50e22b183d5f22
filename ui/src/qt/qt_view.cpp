#include "qt_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QTreeWidget>

#include "qt_images.h"
#include "qt_text.h"

namespace ui::detail {

namespace {

// The faces Windows dialogs name for "the system's dialog font": here that is the desktop's
// own font at the template's size.
bool systemDialogFace(const std::string& face) {
    static const char* const kFaces[] = {"MS Shell Dlg", "MS Shell Dlg 2", "MS Sans Serif", "Microsoft Sans Serif",
                                         "Tahoma", "Segoe UI", "System"};
    for (const char* f : kFaces)
        if (face == f) return true;
    return face.empty();
}

QFont dialogFont(const DialogTemplate& t) {
    QFont f = QApplication::font();
    if (t.hasFont && !systemDialogFace(t.typeface)) f.setFamily(toQ(t.typeface));
    f.setPointSize(t.hasFont && t.pointSize > 0 ? t.pointSize : 8);
    if (t.weight >= 700) f.setBold(true);
    if (t.italic) f.setItalic(true);
    return f;
}

// Windows' base units of a font: the average width of the 52 letters, rounded, and the height.
BaseUnits unitsOf(const QFont& f) {
    const QFontMetrics fm(f);
    const int width52 = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return BaseUnits{std::max(1, (width52 / 26 + 1) / 2), std::max(1, fm.height())};
}

}  // namespace

// ---- the dialog window ----------------------------------------------------------------------

DialogWidget::DialogWidget(QtView* v, QWidget* parent) : QDialog(parent), view(v) {}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
    if (!view) return;
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (event->key() == Qt::Key_Escape && plain) {
        view->window().userClosed();
        return;
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && plain) {
        view->pressEnter();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DialogWidget::closeEvent(QCloseEvent* event) {
    // The dialog decides whether it closes.
    event->ignore();
    if (view) view->window().userClosed();
}

void DialogWidget::reject() {
    if (view) view->window().userClosed();
}

void DialogWidget::contextMenuEvent(QContextMenuEvent* event) { showMenu(event->globalPos()); }

bool DialogWidget::eventFilter(QObject* watched, QEvent* event) {
    return view ? view->filter(watched, event) : QDialog::eventFilter(watched, event);
}

// The menu in place of the system menu: the dialog's help and About items, then Close.
void DialogWidget::showMenu(const QPoint& globalPos) {
    if (!view) return;
    Window& w = view->window();
    QMenu menu(this);
    QAction* help = w.hasHelp ? menu.addAction(toQ(w.helpText)) : nullptr;
    QAction* about = w.hasAbout ? menu.addAction(toQ(w.aboutText)) : nullptr;
    if (help || about) menu.addSeparator();
    QAction* close = menu.addAction(QStringLiteral("Close"));
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    QAction* chosen = menu.exec(globalPos);
    if (!chosen || !view) return;
    std::shared_ptr<Window> keep = view->window().shared_from_this();
    if (chosen == help) keep->userHelp();
    else if (chosen == about) keep->userAbout();
    else if (chosen == close) keep->userClosed();
}

// ---- building -------------------------------------------------------------------------------

QtView::QtView(Window& window, QWidget* parent) : window_(window) {
    const DialogTemplate& t = window.tmpl;
    font_ = dialogFont(t);
    units_ = unitsOf(font_);
    dialog_ = new DialogWidget(this, parent);
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if ((t.style & WS_CAPTION) == WS_CAPTION) flags |= Qt::WindowTitleHint;
    else flags |= Qt::FramelessWindowHint;
    if (t.style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (t.style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
    if (t.exStyle & WS_EX_TOPMOST) flags |= Qt::WindowStaysOnTopHint;
    dialog_->setWindowFlags(flags);
    dialog_->setFont(font_);
    dialog_->setWindowTitle(toQ(window.title));
    dialog_->setFixedSize(std::max(1, scaled(t.cx, units_.x, 4)), std::max(1, scaled(t.cy, units_.y, 8)));
    if (window.modal) dialog_->setWindowModality(Qt::ApplicationModal);

    widgets_.resize(window.controls.size(), nullptr);
    for (size_t i = 0; i < window.controls.size(); ++i) {
        const Control& c = window.controls[i];
        QWidget* w = makeWidget(c);
        widgets_[i] = w;
        place(c, w);
        connectWidget(i, w);
        sync(c);
    }
    // Group boxes lie beneath the controls they frame.
    for (size_t i = 0; i < widgets_.size(); ++i)
        if (window.controls[i].kind == Kind::GroupBox) widgets_[i]->lower();

    new QShortcut(QKeySequence(Qt::Key_F1), dialog_, [this] { window_.shared_from_this()->userHelp(); });
    new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), dialog_,
                  [this] { dialog_->showMenu(dialog_->mapToGlobal(QPoint(0, 0))); });
}

QtView::~QtView() {
    if (!dialog_) return;
    // The window may go while one of its own widgets is telling about a click: it is taken
    // off the screen now and deleted once that is over.
    dialog_->view = nullptr;
    for (QWidget* w : widgets_) {
        if (!w) continue;
        QObject::disconnect(w, nullptr, dialog_, nullptr);
        if (auto* tree = qobject_cast<QTreeWidget*>(w)) tree->viewport()->removeEventFilter(dialog_);
        w->removeEventFilter(dialog_);
    }
    for (QShortcut* s : dialog_->findChildren<QShortcut*>()) s->setEnabled(false);
    dialog_->hide();
    dialog_->deleteLater();
}

QWidget* QtView::makeWidget(const Control& c) {
    const DWORD style = c.item.style;
    switch (c.kind) {
        case Kind::PushButton: {
            auto* b = new PictureButton(dialog_);
            b->setDefault(c.isDefault);
            b->setAutoDefault(true);
            return b;
        }
        case Kind::CheckBox: {
            auto* b = new QCheckBox(dialog_);
            b->setTristate(c.threeState);
            return b;
        }
        case Kind::RadioButton: {
            auto* b = new QRadioButton(dialog_);
            b->setAutoExclusive(false);  // the toolkit keeps the groups, as Windows does
            return b;
        }
        case Kind::GroupBox: return new QGroupBox(dialog_);
        case Kind::Text: {
            auto* l = new QLabel(dialog_);
            l->setTextFormat(Qt::PlainText);
            const DWORD type = style & SS_TYPEMASK;
            l->setWordWrap(type != SS_LEFTNOWORDWRAP && type != SS_SIMPLE);
            Qt::Alignment a = type == SS_CENTER ? Qt::AlignHCenter : type == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
            a |= (style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop;
            l->setAlignment(a);
            if (style & SS_SUNKEN) l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            if (style & SS_NOTIFY) l->installEventFilter(dialog_);
            return l;
        }
        case Kind::Icon: {
            auto* l = new QLabel(dialog_);
            l->setAlignment(Qt::AlignCenter);
            return l;
        }
        case Kind::Frame: {
            auto* f = new QFrame(dialog_);
            const DWORD type = style & SS_TYPEMASK;
            f->setFrameStyle((type == SS_ETCHEDHORZ ? QFrame::HLine : type == SS_ETCHEDVERT ? QFrame::VLine : QFrame::Box) |
                             QFrame::Sunken);
            return f;
        }
        case Kind::Edit: {
            if (style & ES_MULTILINE) {
                auto* e = new QPlainTextEdit(dialog_);
                e->setReadOnly(style & ES_READONLY);
                return e;
            }
            auto* e = new QLineEdit(dialog_);
            e->setReadOnly(style & ES_READONLY);
            if (style & ES_PASSWORD) e->setEchoMode(QLineEdit::Password);
            if (style & ES_RIGHT) e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            else if (style & ES_CENTER) e->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
            return e;
        }
        case Kind::ComboBox: {
            auto* b = new QComboBox(dialog_);
            b->setEditable(c.editable);
            b->setInsertPolicy(QComboBox::NoInsert);
            return b;
        }
        case Kind::ListBox: return new QListWidget(dialog_);
        case Kind::ListView: {
            auto* t = new QTreeWidget(dialog_);
            t->setRootIsDecorated(false);
            t->setUniformRowHeights(true);
            t->setItemsExpandable(false);
            t->setAllColumnsShowFocus(true);
            t->setSelectionBehavior(QAbstractItemView::SelectRows);
            t->setSelectionMode(c.singleSelection() ? QAbstractItemView::SingleSelection
                                                    : QAbstractItemView::ExtendedSelection);
            t->setHeaderHidden(style & LVS_NOCOLUMNHEADER);
            t->header()->setStretchLastSection(false);
            t->header()->setSectionsClickable(false);
            t->setColumnCount(1);
            t->viewport()->installEventFilter(dialog_);
            return t;
        }
        case Kind::Progress: {
            auto* p = new QProgressBar(dialog_);
            p->setTextVisible(false);
            if (style & PBS_VERTICAL) p->setOrientation(Qt::Vertical);
            return p;
        }
        case Kind::Other: break;
    }
    return new QWidget(dialog_);
}

void QtView::place(const Control& c, QWidget* w) {
    const DialogItem& i = c.item;
    QRect r(scaled(i.x, units_.x, 4), scaled(i.y, units_.y, 8), scaled(i.cx, units_.x, 4), scaled(i.cy, units_.y, 8));
    if (c.kind == Kind::ComboBox) {
        // The template's height holds the dropped list as well.
        r.setHeight(w->sizeHint().height());
    } else if (c.kind == Kind::Icon && !(i.style & 0x40 /* SS_REALSIZECONTROL */)) {
        r.setSize(QSize(32, 32));  // an icon control takes its icon's size, whatever the template says
    }
    w->setGeometry(r);
}

}  // namespace ui::detail
