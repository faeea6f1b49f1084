// The filter box above the recovery page's file table: a name or pattern,
// a kind of file, a size range, a modification-date range and "hide files
// that cannot come back whole". It only gathers what the person typed; the
// filtering itself is the result index's (results/result_filter.h), the
// same that quarvel-cli applies.
#pragma once

#include "results/result_filter.h"

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class recovery_filter_bar_c : public QWidget {
    Q_OBJECT
public:
    explicit recovery_filter_bar_c(QWidget* parent = nullptr);

    // What the fields say now; a field that cannot be read (a size or a
    // date mistyped) adds nothing and is marked.
    result_filter_s filter() const;
    // Empties every field without announcing it.
    void clear_fields();

    // For tests: the fields by role.
    QLineEdit* name_field() const { return name_; }
    QComboBox* type_field() const { return type_; }
    QLineEdit* min_size_field() const { return min_size_; }
    QLineEdit* max_size_field() const { return max_size_; }
    QLineEdit* since_field() const { return since_; }
    QLineEdit* until_field() const { return until_; }
    QCheckBox* whole_only_field() const { return whole_only_; }

signals:
    // The filter changed; typing is gathered for a moment first, so a
    // million rows are not filtered on every key.
    void filter_changed();

private:
    void schedule();
    void mark_fields();

    QLineEdit* name_ = nullptr;
    QComboBox* type_ = nullptr;
    QCheckBox* whole_only_ = nullptr;
    QLabel* size_label_ = nullptr;
    QLineEdit* min_size_ = nullptr;
    QLineEdit* max_size_ = nullptr;
    QLabel* date_label_ = nullptr;
    QLineEdit* since_ = nullptr;
    QLineEdit* until_ = nullptr;
    QPushButton* clear_ = nullptr;
    QTimer typing_;
};
