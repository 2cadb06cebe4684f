#include "platform/qt/qt_host.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QEventLoop>
#include <QIcon>
#include <QListView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStringListModel>
#include <QStyle>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "platform/say.h"

namespace wigwag {

namespace {

// A push button's whole caption, beside the text it shows (shortened when too wide).
constexpr const char* kFullCaption = "wigwagCaption";

constexpr double kNever = std::numeric_limits<double>::infinity();
// Qt's logical pixels are 96 to the inch at every scale factor; the window system maps
// them to device pixels on high-density screens.
constexpr double kLogicalDpi = 96.0;

int Pixels(int twips) {
    return static_cast<int>(std::lround(twips * kLogicalDpi / kForm1.twipsPerInch));
}

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// List items are bytes (lines of the settings file among them); Latin-1 gives every byte
// back unchanged.
QString Bytes(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// A list box's rows: plain strings under a list view, no item object for each, since the
// hidden list holds every line of the settings file.
QStringListModel* Rows(QWidget* widget) {
    const auto* view = qobject_cast<QListView*>(widget);
    return view ? qobject_cast<QStringListModel*>(view->model()) : nullptr;
}

QColor Colour(Rgb rgb) {
    return QColor(rgb.r, rgb.g, rgb.b);
}

QFont MakeFont(const FontStyle& style) {
    QFont font;
    font.setFamilies({QString::fromLatin1(style.face), QString::fromLatin1(style.fallbackFace)});
    font.setPixelSize(static_cast<int>(std::lround(style.points * kLogicalDpi / 72.0)));
    font.setWeight(static_cast<QFont::Weight>(style.weight));
    font.setUnderline(style.underline);
    return font;
}

timespec ToTimespec(double seconds) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(std::floor(seconds));
    ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    // An all-zero time would disarm the timer instead of firing it.
    if (ts.tv_sec <= 0 && ts.tv_nsec <= 0) ts.tv_nsec = 1;
    return ts;
}

}  // namespace

namespace qt {

FormWindow::FormWindow(QtHost& host)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      host_(host) {}

void FormWindow::closeEvent(QCloseEvent* event) {
    host_.HandleClose();
    event->accept();
}

Picture::Picture(QWidget* parent, std::function<void()> onClick)
    : QLabel(parent), onClick_(std::move(onClick)) {}

void Picture::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
}

void Picture::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click && onClick_) onClick_();
}

void CheckBox::nextCheckState() {
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

}  // namespace qt

QtHost::QtHost(KeyDevice& keys) : RealHost(keys) {
    wakeFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wakeFd_ < 0) throw std::runtime_error("cannot create the timer for the window's timers");
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wakeFd_, QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, [this] { OnWake(); });
}

QtHost::~QtHost() {
    wakeNotifier_.reset();
    ::close(wakeFd_);
}

// --- window ----------------------------------------------------------------------

void QtHost::CreateForm() {
    window_ = std::make_unique<qt::FormWindow>(*this);
    window_->setObjectName(QString::fromLatin1(kForm1.name));
    window_->setWindowTitle(QString::fromLatin1(kForm1.caption));
    window_->setFixedSize(Pixels(kForm1.clientWidth), Pixels(kForm1.clientHeight));
    window_->setFont(MakeFont(FontFor(FontRole::Window)));
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, Colour(kForm1.background));
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);

    QIcon icon;
    const QString iconBase = QStringLiteral(":/assets/") + QString::fromLatin1(kIconAsset);
    icon.addFile(iconBase + QStringLiteral(".ico"));
    icon.addFile(iconBase + QStringLiteral(".png"));
    window_->setWindowIcon(icon);
    QApplication::setWindowIcon(icon);

    for (const ControlLayout& layout : kControls) CreateControl(layout);
    SetTabOrder();
}

void QtHost::CreateControl(const ControlLayout& layout) {
    QWidget* parent = window_.get();
    QWidget* widget = nullptr;
    switch (layout.kind) {
        case ControlKind::Picture: {
            const Control id = layout.id;
            auto* picture = new qt::Picture(parent, [this, id] { HandleClick(id); });
            picture->setPixmap(QPixmap(QStringLiteral(":/assets/") +
                                       QString::fromLatin1(layout.text) + QStringLiteral(".png")));
            picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = picture;
            break;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(QString::fromLatin1(layout.text), parent);
            label->setAlignment((layout.align == Align::Center ? Qt::AlignHCenter : Qt::AlignLeft) |
                                Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::DropDownList: {
            auto* combo = new QComboBox(parent);
            combo->setEditable(false);
            combo->setMaxVisibleItems(16);
            widget = combo;
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new qt::CheckBox(QString::fromLatin1(layout.text), parent);
            box->setTristate(true);
            widget = box;
            break;
        }
        case ControlKind::Button: {
            auto* button = new QPushButton(Text(layout.text), parent);
            button->setProperty(kFullCaption, Text(layout.text));
            button->setAutoDefault(false);
            const Control id = layout.id;
            QObject::connect(button, &QPushButton::clicked, [this, id] { HandleClick(id); });
            widget = button;
            break;
        }
        case ControlKind::List: {
            auto* list = new QListView(parent);
            list->setModel(new QStringListModel(list));
            list->setEditTriggers(QAbstractItemView::NoEditTriggers);
            // Rows of one height, measured once, not each line's text shaped.
            list->setUniformItemSizes(true);
            widget = list;
            break;
        }
    }
    widget->setObjectName(QString::fromLatin1(layout.name));
    widget->setGeometry(Pixels(layout.left), Pixels(layout.top), Pixels(layout.width),
                        Pixels(layout.height));
    if (layout.font != FontRole::None) widget->setFont(MakeFont(FontFor(layout.font)));
    if (layout.toolTip) widget->setToolTip(QString::fromLatin1(layout.toolTip));

    QPalette palette = layout.paint == Paint::System ? QApplication::palette() : widget->palette();
    if (layout.paint != Paint::System) {
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
            palette.setColor(role, Colour(layout.foreground));
        // Check boxes fill with the button colour, labels with the window colour.
        for (auto role : {QPalette::Window, QPalette::Button})
            palette.setColor(role, Colour(layout.background));
    }
    widget->setPalette(palette);
    widget->setAutoFillBackground(layout.paint == Paint::OnBackground);
    widgets_[static_cast<std::size_t>(layout.id)] = widget;
}

void QtHost::SetTabOrder() {
    std::vector<const ControlLayout*> order;
    for (const ControlLayout& layout : kControls) {
        const bool focusable =
            layout.kind == ControlKind::DropDownList || layout.kind == ControlKind::CheckBox ||
            layout.kind == ControlKind::List || layout.kind == ControlKind::Button;
        if (focusable && layout.tabIndex >= 0) order.push_back(&layout);
    }
    std::sort(order.begin(), order.end(), [](const ControlLayout* a, const ControlLayout* b) {
        return a->tabIndex < b->tabIndex;
    });
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(Widget(order[i - 1]->id), Widget(order[i]->id));
    if (!order.empty()) Widget(order.front()->id)->setFocus();
}

void QtHost::ShowForm() {
    if (!window_ || closed_) return;
    // Asked to end while it loaded: the window never opens, and with no unload nothing is
    // saved; the settings file stays as it was.
    if (closeRequested_) {
        closed_ = true;
        timers_.StopAll();
        ArmWake();
        return;
    }
    shown_ = true;
    window_->show();
}

void QtHost::HandleClose() {
    if (closed_) return;
    closed_ = true;
    Guard([this] {
        if (sink_) sink_->OnClose();
    });
    if (commands_) commands_->Stop();
    timers_.StopAll();
    ArmWake();
}

void QtHost::RequestClose() {
    // Nothing waits on the user any more: open boxes go, later ones are not shown.
    closeRequested_ = true;
    for (QMessageBox* box : boxes_) box->done(QMessageBox::Ok);
    // While the window is still loading, the load finishes first; ShowForm then ends.
    if (closed_ || !shown_) return;
    window_->close();
}

void QtHost::BringToFront() {
    if (closed_) return;
    QWidget* top = shown_ ? window_.get() : nullptr;
    if (!boxes_.empty()) top = boxes_.back();
    if (!top) return;
    top->setWindowState(top->windowState() & ~Qt::WindowMinimized);
    top->show();
    top->raise();
    top->activateWindow();
}

void QtHost::HandleClick(Control control) {
    if (closed_) return;
    Guard([this, control] {
        if (sink_) sink_->OnClick(control);
    });
}

// --- events and time ---------------------------------------------------------------

double QtHost::Clock() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void QtHost::ArmWake() {
    double wake = deadlines_.empty() ? kNever : deadlines_.back();
    if (const auto due = timers_.NextDue(); due && *due < wake) wake = *due;
    if (wake == armedFor_) return;
    armedFor_ = wake;
    itimerspec wakeAt{};
    if (std::isfinite(wake)) wakeAt.it_value = ToTimespec(wake);
    timerfd_settime(wakeFd_, TFD_TIMER_ABSTIME, &wakeAt, nullptr);
}

void QtHost::OnWake() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &expirations, sizeof expirations);
    armedFor_ = -1;
    DispatchDueTicks();
    ArmWake();
}

void QtHost::WaitEvents(double deadline) {
    deadlines_.push_back(deadline);
    DispatchDueTicks();
    ArmWake();
    // A tick just run may have paused, and the window may have closed during that pause:
    // then nothing is left to end a wait without a deadline. Only a pause still running
    // sleeps after the close, to its own deadline.
    const bool wait = Clock() < deadline && !(closed_ && std::isinf(deadline));
    QCoreApplication::processEvents(wait ? QEventLoop::WaitForMoreEvents : QEventLoop::AllEvents);
    deadlines_.pop_back();
    ArmWake();
    RethrowPending();
}

int QtHost::RunEventLoop() {
    while (!closed_) WaitEvents(kNever);
    return 0;
}

// --- dialogs, processes, files --------------------------------------------------------

void QtHost::ShowMessageBox(std::string_view title, std::string_view text) {
    QString body = Text(text);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (closeRequested_) {
        body.replace(QLatin1Char('\n'), QLatin1Char(' '));
        Say(Stream::Err, "wigwag: " + std::string(title) + ": " + body.toStdString());
        return;
    }
    QWidget* parent = window_ && window_->isVisible() ? window_.get() : nullptr;
    QMessageBox box(QMessageBox::Warning, Text(title), body, QMessageBox::Ok, parent);
    boxes_.push_back(&box);
    box.exec();
    boxes_.pop_back();
}

bool QtHost::OpenAddress(std::string_view address) {
    const QUrl url(Text(address));
    return url.isValid() && QDesktopServices::openUrl(url);
}

// --- controls ---------------------------------------------------------------------------

int QtHost::Value(Control checkBox) {
    const auto* box = qobject_cast<QCheckBox*>(Widget(checkBox));
    if (!box) return 0;
    switch (box->checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        default:
            return 0;
    }
}

void QtHost::SetValue(Control checkBox, int value) {
    auto* box = qobject_cast<QCheckBox*>(Widget(checkBox));
    if (!box || value < 0 || value > 2) return;
    static constexpr Qt::CheckState kStates[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
    box->setCheckState(kStates[value]);
}

int QtHost::ListIndex(Control list) {
    if (const auto* combo = qobject_cast<QComboBox*>(Widget(list))) return combo->currentIndex();
    if (const auto* view = qobject_cast<QListView*>(Widget(list)))
        return view->currentIndex().isValid() ? view->currentIndex().row() : -1;
    return -1;
}

void QtHost::SetListIndex(Control list, int index) {
    if (index < -1 || index >= ListCount(list)) return;
    if (auto* combo = qobject_cast<QComboBox*>(Widget(list))) combo->setCurrentIndex(index);
    if (auto* rows = Rows(Widget(list)))
        qobject_cast<QListView*>(Widget(list))->setCurrentIndex(rows->index(index));
}

int QtHost::ListCount(Control list) {
    if (const auto* combo = qobject_cast<QComboBox*>(Widget(list))) return combo->count();
    if (const auto* rows = Rows(Widget(list))) return rows->rowCount();
    return 0;
}

std::string QtHost::ListItem(Control list, int index) {
    if (index < 0 || index >= ListCount(list)) return {};
    if (const auto* combo = qobject_cast<QComboBox*>(Widget(list)))
        return combo->itemText(index).toLatin1().toStdString();
    if (const auto* rows = Rows(Widget(list)))
        return rows->index(index).data().toString().toLatin1().toStdString();
    return {};
}

void QtHost::AddItems(Control list, const std::vector<std::string>& items) {
    QStringList texts;
    texts.reserve(static_cast<qsizetype>(items.size()));
    for (const std::string& item : items) texts.append(Bytes(item));
    // A combo box selects its first item when it gets one; the program's lists start
    // with no selection.
    if (auto* combo = qobject_cast<QComboBox*>(Widget(list))) {
        const int index = combo->currentIndex();
        combo->addItems(texts);
        combo->setCurrentIndex(index);
    }
    if (auto* rows = Rows(Widget(list))) {
        const int index = ListIndex(list);
        rows->setStringList(rows->rowCount() == 0 ? texts : rows->stringList() + texts);
        SetListIndex(list, index);
    }
}

void QtHost::Clear(Control list) {
    if (auto* combo = qobject_cast<QComboBox*>(Widget(list))) combo->clear();
    if (auto* rows = Rows(Widget(list))) rows->setStringList({});
}

std::string QtHost::Caption(Control label) {
    if (const auto* l = qobject_cast<QLabel*>(Widget(label))) return l->text().toStdString();
    if (const auto* b = qobject_cast<QPushButton*>(Widget(label)))
        return b->property(kFullCaption).toString().toStdString();
    if (const auto* b = qobject_cast<QAbstractButton*>(Widget(label)))
        return b->text().toStdString();
    return {};
}

void QtHost::SetCaption(Control label, std::string_view text) {
    if (auto* l = qobject_cast<QLabel*>(Widget(label))) l->setText(Text(text));
    // A push button's "&" marks its access key: a controller's name shows it as it is. A
    // caption too wide for the button (a long name) ends in "…" instead of being cut off.
    if (auto* b = qobject_cast<QPushButton*>(Widget(label))) {
        const QString full = Text(text);
        b->setProperty(kFullCaption, full);
        const int room = b->width() - 2 * b->style()->pixelMetric(QStyle::PM_ButtonMargin);
        return b->setText(b->fontMetrics()
                              .elidedText(full, Qt::ElideRight, room)
                              .replace(QLatin1Char('&'), QStringLiteral("&&")));
    }
    if (auto* b = qobject_cast<QAbstractButton*>(Widget(label))) b->setText(Text(text));
}

void QtHost::TimersChanged() {
    ArmWake();
}

}  // namespace wigwag
