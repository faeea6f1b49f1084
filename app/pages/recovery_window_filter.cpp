#include "app/pages/recovery_window_filter.h"

#include "shell/settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// Long enough to gather a word typed, short enough to feel immediate.
constexpr int typing_pause_ms = 250;

const char* const field_style = "QLineEdit, QComboBox { border: 1px solid #8bb8fe; background: white; padding: 1px 3px; }"
                                "QLineEdit[bad=\"true\"] { border: 1px solid #d04030; background: #fdeae8; }";

bool read_size(const QLineEdit* field, int64_t* bytes)
{
    return !field->text().trimmed().isEmpty() && parse_size_text(field->text(), bytes);
}

bool read_day(const QLineEdit* field, QDate* day)
{
    return !field->text().trimmed().isEmpty() && parse_day_text(field->text(), day);
}

// The width a field needs to show its whole hint: the text, the field's
// border and padding (field_style), the room Qt keeps each side of the
// text, and the clear button's place where it has one.
int hint_width(const QLineEdit* field)
{
    int width = field->fontMetrics().horizontalAdvance(field->placeholderText()) + 2 * (1 + 3 + 2) + 2;
    if (field->isClearButtonEnabled())
        width += field->style()->pixelMetric(QStyle::PM_LineEditIconSize, nullptr, field) + 6 +
                 field->style()->pixelMetric(QStyle::PM_LineEditIconMargin, nullptr, field);
    return width;
}

}  // namespace

recovery_filter_bar_c::recovery_filter_bar_c(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("filter_bar"));
    setStyleSheet(QString::fromLatin1(field_style));
    const QFont font(QStringLiteral("Arial"), 9);
    setFont(font);

    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("edt_filter_name"));
    name_->setPlaceholderText(text_for_key("filter_name_hint"));
    name_->setClearButtonEnabled(true);
    name_->setMinimumWidth(180);
    type_ = new QComboBox(this);
    type_->setObjectName(QStringLiteral("cmb_filter_type"));
    type_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (int g = 0; g < file_group_count; ++g)
        type_->addItem(text_for_key(file_group_key(file_group_e(g))), g);
    whole_only_ = new QCheckBox(text_for_key("filter_whole_only"), this);
    whole_only_->setObjectName(QStringLiteral("chk_filter_whole"));

    size_label_ = new QLabel(text_for_key("filter_size"), this);
    min_size_ = new QLineEdit(this);
    min_size_->setObjectName(QStringLiteral("edt_filter_min_size"));
    min_size_->setPlaceholderText(text_for_key("filter_size_min"));
    max_size_ = new QLineEdit(this);
    max_size_->setObjectName(QStringLiteral("edt_filter_max_size"));
    max_size_->setPlaceholderText(text_for_key("filter_size_max"));
    date_label_ = new QLabel(text_for_key("filter_modified"), this);
    since_ = new QLineEdit(this);
    since_->setObjectName(QStringLiteral("edt_filter_since"));
    until_ = new QLineEdit(this);
    until_->setObjectName(QStringLiteral("edt_filter_until"));
    for (QLineEdit* day : {since_, until_})
        day->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    clear_ = new QPushButton(text_for_key("filter_clear"), this);
    clear_->setObjectName(QStringLiteral("btn_filter_clear"));
    clear_->setStyleSheet(QStringLiteral("QPushButton{ border: 1px solid #8bb8fe; background: #e8f6ff; padding: 2px 8px; }"
                                         "QPushButton:hover{ background: #d3e7ff; }"));

    // Each field is at least as wide as its hint, in every language; what
    // would crowd one row at the window's first width takes the next: the
    // name and the kind of file, then sizes and dates, then the check box
    // and the button.
    for (QLineEdit* field : {name_, min_size_, max_size_, since_, until_})
        field->setMinimumWidth(hint_width(field));
    auto* rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(4);
    auto* first = new QHBoxLayout;
    first->setSpacing(6);
    // The name takes what is left; the kind of file its own width, so a
    // longer language squeezes neither the choice nor the typing.
    first->addWidget(name_, 1);
    first->addWidget(type_);
    auto* second = new QHBoxLayout;
    second->setSpacing(6);
    second->addWidget(size_label_);
    second->addWidget(min_size_, 1);
    second->addWidget(max_size_, 1);
    second->addSpacing(8);
    second->addWidget(date_label_);
    second->addWidget(since_, 1);
    second->addWidget(new QLabel(QStringLiteral("–"), this));
    second->addWidget(until_, 1);
    auto* third = new QHBoxLayout;
    third->setSpacing(6);
    third->addWidget(whole_only_);
    third->addStretch(1);
    third->addWidget(clear_);
    rows->addLayout(first);
    rows->addLayout(second);
    rows->addLayout(third);

    typing_.setSingleShot(true);
    typing_.setInterval(typing_pause_ms);
    connect(&typing_, &QTimer::timeout, this, [this] {
        mark_fields();
        emit filter_changed();
    });
    for (QLineEdit* field : {name_, min_size_, max_size_, since_, until_})
        connect(field, &QLineEdit::textChanged, this, &recovery_filter_bar_c::schedule);
    connect(type_, &QComboBox::currentIndexChanged, this, [this] { emit filter_changed(); });
    connect(whole_only_, &QCheckBox::toggled, this, [this] { emit filter_changed(); });
    connect(clear_, &QPushButton::clicked, this, [this] {
        clear_fields();
        emit filter_changed();
    });
    for (QWidget* w : {static_cast<QWidget*>(name_), static_cast<QWidget*>(type_), static_cast<QWidget*>(min_size_),
                       static_cast<QWidget*>(max_size_), static_cast<QWidget*>(since_), static_cast<QWidget*>(until_)})
        w->setMinimumHeight(22);
}

void recovery_filter_bar_c::schedule() { typing_.start(); }

void recovery_filter_bar_c::mark_fields()
{
    int64_t bytes = 0;
    QDate day;
    const auto mark = [](QLineEdit* field, bool bad) {
        if (field->property("bad").toBool() == bad)
            return;
        field->setProperty("bad", bad);
        field->style()->unpolish(field);
        field->style()->polish(field);
    };
    for (QLineEdit* field : {min_size_, max_size_})
        mark(field, !field->text().trimmed().isEmpty() && !parse_size_text(field->text(), &bytes));
    for (QLineEdit* field : {since_, until_})
        mark(field, !field->text().trimmed().isEmpty() && !parse_day_text(field->text(), &day));
}

result_filter_s recovery_filter_bar_c::filter() const
{
    result_filter_s f;
    f.name = name_->text().trimmed();
    f.group = file_group_e(type_->currentData().toInt());
    f.whole_only = whole_only_->isChecked();
    int64_t bytes = 0;
    if (read_size(min_size_, &bytes))
        f.min_size = bytes;
    if (read_size(max_size_, &bytes))
        f.max_size = bytes;
    QDate day;
    if (read_day(since_, &day))
        f.since = day_first_second(day);
    if (read_day(until_, &day))
        f.until = day_last_second(day);
    return f;
}

void recovery_filter_bar_c::clear_fields()
{
    const QSignalBlocker quiet_type(type_);
    const QSignalBlocker quiet_whole(whole_only_);
    for (QLineEdit* field : {name_, min_size_, max_size_, since_, until_}) {
        const QSignalBlocker quiet(field);
        field->clear();
    }
    type_->setCurrentIndex(0);
    whole_only_->setChecked(false);
    typing_.stop();
    mark_fields();
}
