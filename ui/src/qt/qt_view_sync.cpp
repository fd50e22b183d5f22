// A Qt view at work: widgets brought in line with the controls, the operator's input carried back,
// and the window moved, raised, shot.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QTreeWidget>

#include "qt_images.h"
#include "qt_text.h"
#include "qt_view.h"

namespace ui::detail {

namespace {

Qt::CheckState qtCheck(UINT check) {
    return check == BST_CHECKED ? Qt::Checked : check == BST_INDETERMINATE ? Qt::PartiallyChecked : Qt::Unchecked;
}

Qt::Alignment columnAlignment(int format) {
    if (format & LVCFMT_CENTER) return Qt::AlignHCenter | Qt::AlignVCenter;
    if (format & LVCFMT_RIGHT) return Qt::AlignRight | Qt::AlignVCenter;
    return Qt::AlignLeft | Qt::AlignVCenter;
}

// Runs the operator's action with the window kept alive; the view may be gone afterwards.
template <class F>
void asOperator(Window& w, F&& f) {
    std::shared_ptr<Window> keep = w.shared_from_this();
    f(*keep);
}

}  // namespace

bool hasWindowManager() {
    const QString p = QGuiApplication::platformName();
    return p != QLatin1String("offscreen") && p != QLatin1String("minimal");
}

QWidget* QtView::widgetOf(int id) const {
    for (size_t i = 0; i < widgets_.size(); ++i)
        if (window_.controls[i].id == id) return widgets_[i];
    return nullptr;
}

int QtView::indexOf(const QObject* widget) const {
    for (size_t i = 0; i < widgets_.size(); ++i)
        if (widgets_[i] == widget) return static_cast<int>(i);
    return -1;
}

// ---- state to widgets -----------------------------------------------------------------------

void QtView::sync(const Control& c) {
    const size_t index = static_cast<size_t>(&c - window_.controls.data());
    if (index >= widgets_.size() || !widgets_[index]) return;
    QWidget* w = widgets_[index];
    const bool was = syncing_;
    syncing_ = true;
    w->setEnabled(c.enabled);
    w->setHidden(!c.visible);
    switch (c.kind) {
        case Kind::PushButton: {
            auto* b = static_cast<PictureButton*>(w);
            b->setText(toQ(c.text));
            if (!c.bitmapUp.empty()) b->setBitmaps(pixmapFromBmp(c.bitmapUp), pixmapFromBmp(c.bitmapDown));
            break;
        }
        case Kind::CheckBox: {
            auto* b = static_cast<QCheckBox*>(w);
            b->setText(toQ(c.text));
            b->setCheckState(qtCheck(c.check));
            break;
        }
        case Kind::RadioButton: {
            auto* b = static_cast<QRadioButton*>(w);
            b->setText(toQ(c.text));
            b->setChecked(c.check == BST_CHECKED);
            break;
        }
        case Kind::GroupBox: static_cast<QGroupBox*>(w)->setTitle(toQ(c.text)); break;
        case Kind::Text: {
            auto* l = static_cast<QLabel*>(w);
            l->setText(staticText(c.text, c.item.style & SS_NOPREFIX));
            if (c.link) {
                QFont f = l->font();
                f.setUnderline(true);
                l->setFont(f);
                QPalette p = l->palette();
                p.setColor(QPalette::WindowText, QColor(0, 0, 255));
                l->setPalette(p);
                l->setCursor(Qt::PointingHandCursor);
            }
            break;
        }
        case Kind::Icon:
            if (!c.image.empty()) static_cast<QLabel*>(w)->setPixmap(iconFromIco(c.image).pixmap(w->size()));
            break;
        case Kind::Edit:
            if (auto* e = qobject_cast<QLineEdit*>(w)) {
                if (e->text() != toQ(c.text)) e->setText(toQ(c.text));
            } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
                if (m->toPlainText() != toQ(c.text)) m->setPlainText(toQ(c.text));
            }
            break;
        case Kind::ComboBox:
        case Kind::ListBox:
        case Kind::ListView: syncList(c, w); break;
        case Kind::Progress: {
            auto* p = static_cast<QProgressBar*>(w);
            p->setRange(std::min(c.low, c.high), std::max(c.low, c.high));
            p->setValue(c.pos);
            break;
        }
        case Kind::Frame:
        case Kind::Other: break;
    }
    syncing_ = was;
}

void QtView::syncList(const Control& c, QWidget* w) {
    if (auto* box = qobject_cast<QComboBox*>(w)) {
        bool same = box->count() == static_cast<int>(c.strings.size());
        for (int i = 0; same && i < box->count(); ++i) same = box->itemText(i) == toQ(c.strings[i]);
        if (!same) {
            box->clear();
            for (const std::string& s : c.strings) box->addItem(toQ(s));
        }
        box->setCurrentIndex(c.curSel);
        if (c.editable && box->currentText() != toQ(c.text)) box->setEditText(toQ(c.text));
        return;
    }
    if (auto* list = qobject_cast<QListWidget*>(w)) {
        bool same = list->count() == static_cast<int>(c.strings.size());
        for (int i = 0; same && i < list->count(); ++i) same = list->item(i)->text() == toQ(c.strings[i]);
        if (!same) {
            list->clear();
            for (const std::string& s : c.strings) list->addItem(toQ(s));
        }
        list->setCurrentRow(c.curSel);
        return;
    }
    auto* tree = qobject_cast<QTreeWidget*>(w);
    if (!tree) return;
    const int columns = std::max<int>(1, static_cast<int>(c.columns.size()));
    tree->setColumnCount(columns);
    QStringList headers;
    for (const ListColumn& col : c.columns) headers << toQ(col.text);
    tree->setHeaderLabels(headers);
    for (int i = 0; i < static_cast<int>(c.columns.size()); ++i) {
        tree->setColumnWidth(i, c.columns[i].width);
        tree->headerItem()->setTextAlignment(i, columnAlignment(c.columns[i].format));
    }
    while (tree->topLevelItemCount() > static_cast<int>(c.rows.size()))
        delete tree->takeTopLevelItem(tree->topLevelItemCount() - 1);
    while (tree->topLevelItemCount() < static_cast<int>(c.rows.size())) tree->addTopLevelItem(new QTreeWidgetItem());
    QTreeWidgetItem* focused = nullptr;
    for (int r = 0; r < static_cast<int>(c.rows.size()); ++r) {
        const ListRow& row = c.rows[r];
        QTreeWidgetItem* item = tree->topLevelItem(r);
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (c.hasCheckBoxes()) flags |= Qt::ItemIsUserCheckable;
        item->setFlags(flags);
        for (int col = 0; col < columns; ++col) {
            item->setText(col, col < static_cast<int>(row.cells.size()) ? toQ(row.cells[col]) : QString());
            if (col < static_cast<int>(c.columns.size())) item->setTextAlignment(col, columnAlignment(c.columns[col].format));
        }
        if (c.hasCheckBoxes())
            item->setCheckState(0, row.checked ? Qt::Checked : Qt::Unchecked);
        else
            item->setData(0, Qt::CheckStateRole, QVariant());
        item->setSelected(row.selected);
        if (row.focused) focused = item;
    }
    if (focused) tree->setCurrentItem(focused, 0, QItemSelectionModel::NoUpdate);
}

void QtView::syncTitle(const std::string& title) { dialog_->setWindowTitle(toQ(title)); }

void QtView::syncFocus(int id) {
    if (QWidget* w = widgetOf(id)) w->setFocus(Qt::OtherFocusReason);
}

void QtView::setIcon(const std::vector<uint8_t>& icoFile) { dialog_->setWindowIcon(iconFromIco(icoFile)); }

// ---- widgets to the toolkit -----------------------------------------------------------------

void QtView::connectWidget(size_t index, QWidget* w) {
    const Control& c = window_.controls[index];
    const int id = c.id;
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        QObject::connect(b, &QAbstractButton::clicked, dialog_, [this, index, id] {
            if (syncing_) return;
            // The button shows what the toolkit decides, not what Qt toggled on its own.
            sync(window_.controls[index]);
            asOperator(window_, [id](Window& win) { win.userClicked(id); });
        });
    } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
        QObject::connect(e, &QLineEdit::textEdited, dialog_, [this, id](const QString& text) {
            if (!syncing_) asOperator(window_, [&](Window& win) { win.userEdited(id, fromQ(text)); });
        });
    } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
        QObject::connect(m, &QPlainTextEdit::textChanged, dialog_, [this, m, id] {
            if (!syncing_) asOperator(window_, [&](Window& win) { win.userEdited(id, fromQ(m->toPlainText())); });
        });
    } else if (auto* box = qobject_cast<QComboBox*>(w)) {
        QObject::connect(box, &QComboBox::activated, dialog_, [this, id](int i) {
            if (!syncing_) asOperator(window_, [&](Window& win) { win.userSelected(id, i); });
        });
        if (c.editable)
            QObject::connect(box, &QComboBox::editTextChanged, dialog_, [this, id](const QString& text) {
                if (!syncing_) asOperator(window_, [&](Window& win) { win.userEdited(id, fromQ(text)); });
            });
    } else if (auto* list = qobject_cast<QListWidget*>(w)) {
        QObject::connect(list, &QListWidget::currentRowChanged, dialog_, [this, id](int row) {
            if (!syncing_ && row >= 0) asOperator(window_, [&](Window& win) { win.userSelected(id, row); });
        });
    } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
        QObject::connect(tree, &QTreeWidget::itemChanged, dialog_, [this, tree, id](QTreeWidgetItem* item, int col) {
            if (syncing_ || col != 0) return;
            const int row = tree->indexOfTopLevelItem(item);
            const bool checked = item->checkState(0) == Qt::Checked;
            asOperator(window_, [&](Window& win) { win.userCheckedRow(id, row, checked); });
        });
        QObject::connect(tree, &QTreeWidget::itemSelectionChanged, dialog_, [this, tree, id] {
            if (syncing_) return;
            std::vector<int> rows;
            for (QTreeWidgetItem* item : tree->selectedItems()) rows.push_back(tree->indexOfTopLevelItem(item));
            std::sort(rows.begin(), rows.end());
            const int focus = tree->currentItem() ? tree->indexOfTopLevelItem(tree->currentItem()) : -1;
            asOperator(window_, [&](Window& win) { win.userSelectedRows(id, rows, focus); });
        });
        QObject::connect(tree, &QTreeWidget::itemClicked, dialog_, [this, tree, id](QTreeWidgetItem* item) {
            const int row = tree->indexOfTopLevelItem(item);
            asOperator(window_, [&](Window& win) { win.userClickedList(id, row, false); });
        });
        QObject::connect(tree, &QTreeWidget::itemDoubleClicked, dialog_, [this, tree, id](QTreeWidgetItem* item) {
            const int row = tree->indexOfTopLevelItem(item);
            asOperator(window_, [&](Window& win) { win.userClickedList(id, row, true); });
        });
    }
}

bool QtView::filter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonRelease) return false;
    if (auto* label = qobject_cast<QLabel*>(watched)) {
        const int index = indexOf(label);
        if (index >= 0 && label->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
            const int id = window_.controls[index].id;
            asOperator(window_, [id](Window& win) { win.userClicked(id); });
        }
        return false;
    }
    for (size_t i = 0; i < widgets_.size(); ++i) {
        auto* tree = qobject_cast<QTreeWidget*>(widgets_[i]);
        if (!tree || tree->viewport() != watched) continue;
        const QPoint pos = static_cast<QMouseEvent*>(event)->position().toPoint();
        if (!tree->itemAt(pos)) {
            const int id = window_.controls[i].id;
            asOperator(window_, [id](Window& win) { win.userClickedList(id, -1, false); });
        }
        return false;
    }
    return false;
}

void QtView::pressEnter() {
    if (auto* b = qobject_cast<QPushButton*>(dialog_->focusWidget()); b && b->isEnabled() && b->isVisible()) {
        b->click();
        return;
    }
    for (size_t i = 0; i < widgets_.size(); ++i) {
        const Control& c = window_.controls[i];
        if (c.kind == Kind::PushButton && c.isDefault && c.enabled && c.visible) {
            static_cast<QAbstractButton*>(widgets_[i])->click();
            return;
        }
    }
    asOperator(window_, [](Window& win) { win.command(IDOK, BN_CLICKED); });
}

bool QtView::clickWidget(int id) {
    auto* b = qobject_cast<QAbstractButton*>(widgetOf(id));
    if (!b) return false;
    b->click();
    return true;
}

bool QtView::typeIntoWidget(int id, const std::string& text) {
    QPointer<QLineEdit> edit = qobject_cast<QLineEdit*>(widgetOf(id));
    if (!edit) return false;
    Window& win = window_;
    const QtView* self = this;
    auto stillHere = [&] { return edit && win.isOpen && win.view.get() == self; };
    // Keystrokes, so that the field reports each as the operator's own.
    if (!edit->text().isEmpty()) {
        edit->selectAll();
        QKeyEvent erase(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
        QCoreApplication::sendEvent(edit, &erase);
    }
    const QString chars = toQ(text);
    for (qsizetype i = 0; i < chars.size() && stillHere();) {
        const qsizetype n = chars.at(i).isHighSurrogate() && i + 1 < chars.size() ? 2 : 1;
        edit->end(false);
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, chars.mid(i, n));
        QCoreApplication::sendEvent(edit, &key);
        i += n;
    }
    return true;
}

// ---- the window -----------------------------------------------------------------------------

void QtView::show() {
    // Centred on the owner, or on the screen, as DS_CENTER places it; a window its program has
    // already moved (while it initialised, as Ticker does) stays where it was put.
    QRect around;
    if (QWidget* parent = dialog_->parentWidget())
        around = parent->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        around = screen->availableGeometry();
    if (!placed_ && !around.isEmpty())
        dialog_->move(around.center() - QPoint(dialog_->width() / 2, dialog_->height() / 2));
    dialog_->show();
    if (hasWindowManager()) {
        dialog_->raise();
        dialog_->activateWindow();
    }
    dialog_->repaint();
}

void QtView::raise(bool restore) {
    if (restore) dialog_->showNormal();
    if (!hasWindowManager()) return;
    dialog_->raise();
    dialog_->activateWindow();
}

void QtView::move(int x, int y, int cx, int cy, bool topmost) {
    if (dialog_->windowFlags().testFlag(Qt::WindowStaysOnTopHint) != topmost) {
        const bool visible = dialog_->isVisible();
        dialog_->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
        if (visible) dialog_->show();
    }
    const QSize frame = dialog_->frameGeometry().size() - dialog_->size();
    dialog_->setFixedSize(std::max(1, cx - frame.width()), std::max(1, cy - frame.height()));
    dialog_->move(x, y);
    placed_ = true;
}

void QtView::bringToTop() {
    if (hasWindowManager()) dialog_->raise();
}

Size QtView::clientSize() const { return Size{dialog_->width(), dialog_->height()}; }

int QtView::clientWidth(const Control& c) const {
    const size_t index = static_cast<size_t>(&c - window_.controls.data());
    QWidget* w = index < widgets_.size() ? widgets_[index] : nullptr;
    if (!w) return 0;
    if (auto* frame = qobject_cast<QFrame*>(w)) return std::max(0, frame->width() - 2 * frame->frameWidth());
    return w->width();
}

bool QtView::screenshot(const std::string& path) { return dialog_->grab().save(toQ(path), "PNG"); }

}  // namespace ui::detail
