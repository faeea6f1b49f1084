#include "skin/skin_widget.h"

#include "platform/folders.h"
#include "shell/app_flags.h"
#include "shell/message_box.h"
#include "shell/resources_init.h"
#include "shell/settings.h"
#include "skin/help_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCursor>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <functional>

namespace {

const QString system_images = QStringLiteral(":/images/system/");

QString system_image(const char* name, int state)
{
    return system_images + QString::fromLatin1(name) + QString::number(state) + QStringLiteral(".png");
}

}  // namespace

QSkinWidget::QSkinWidget(QWidget* parent) : skin_button_window_c(parent, Qt::Window, system_images)
{
    logo = QPixmap(QStringLiteral(":/images/top/logo.png"));
    create_top_buttons();
    create_system_buttons();
    build_system_menu();
}

void QSkinWidget::create_top_buttons()
{
    // The captions are in the pictures, so they follow the language.
    const QString folder = QStringLiteral(":/images/multilang/") + image_language_code() + QStringLiteral("/");
    const button_c<QSkinWidget>::action_t actions[] = {&QSkinWidget::on_click_top1, &QSkinWidget::on_click_top2,
                                &QSkinWidget::on_click_top3};
    for (int command = 1; command <= 3; ++command) {
        auto* button = new top_button_c<QSkinWidget>;
        const QString base = folder + QStringLiteral("btn_top%1").arg(command);
        button->setup(base + "1.png", base + "2.png", base + "3.png", QRect(10 + 103 * (command - 1), 25, 95, 70));
        button->action = actions[command - 1];
        buttons.append(button);
    }
}

void QSkinWidget::create_system_buttons()
{
    struct {
        const char* image;
        button_c<QSkinWidget>::action_t action;
    } const kinds[] = {
        {"quiButton", &QSkinWidget::on_click_close},
        {"maxButton", &QSkinWidget::maximise},
        {"minButton", &QSkinWidget::minimise},
        {"settingButton", &QSkinWidget::show_system_menu},
    };
    int x = 1;
    for (const auto& kind : kinds) {
        auto* button = new system_button_c<QSkinWidget>;
        button->setup(system_image(kind.image, 1), system_image(kind.image, 2), system_image(kind.image, 3),
                      QRect(x, 1, 30, 21));
        button->action = kind.action;
        buttons.append(button);
        if (kind.action == &QSkinWidget::maximise)
            max_button = button;
        x += 30;
    }
}

void QSkinWidget::build_system_menu()
{
    system_menu = new QMenu(this);
    system_menu->setObjectName(QStringLiteral("system_menu"));

    QMenu* languages = system_menu->addMenu(tr("Language"));
    languages->setObjectName(QStringLiteral("menu_language"));
    for (int position = int(language_list.size()) - 1; position >= 0; --position) {
        QAction* action = languages->addAction(language_list[std::size_t(position)]);
        action->setData(position);
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, &QSkinWidget::on_click_language);
    }
    // The tick follows the language chosen during this run.
    connect(languages, &QMenu::aboutToShow, languages, [languages] {
        for (QAction* action : languages->actions())
            action->setChecked(action->data().toInt() == current_language_index);
    });

    system_menu->addSeparator();
    QAction* help = system_menu->addAction(text_for_key("menu_help"));
    help->setObjectName(QStringLiteral("action_help"));
    connect(help, &QAction::triggered, this, &QSkinWidget::on_click_help);

    system_menu->addSeparator();
    QAction* exit = system_menu->addAction(text_for_key("menu_exit"));
    exit->setObjectName(QStringLiteral("action_exit"));
    connect(exit, &QAction::triggered, this, &QSkinWidget::on_click_close);
}

void QSkinWidget::decorate_frame(QPainter& painter)
{
    painter.drawPixmap(width() - 120, 24, logo);
}

void QSkinWidget::top_command(int button)
{
    if (!startup_done) {
        show_warning(this, QStringLiteral("Quarvel"), "startup_warning", QMessageBox::Ok);
        return;
    }
    if (work_running() &&
        show_warning(this, QStringLiteral("Quarvel"), "back_warning", QMessageBox::Yes | QMessageBox::No) ==
            QMessageBox::No)
        return;
    if (button == 1)
        deep_scan = false;
    else if (button == 3)
        deep_scan = true;
    leave_page();
    show_page(button == 2 ? 2 : 1);
}

void QSkinWidget::toggle_maximised()
{
    if (restored) {
        normal_geometry = saveGeometry();
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            setGeometry(screen->availableGeometry());
    } else {
        restoreGeometry(normal_geometry);
    }
    restored = !restored;
}

void QSkinWidget::maximise()
{
    max_button->set_images(system_image("resumeButton", 1), system_image("resumeButton", 2),
                           system_image("resumeButton", 3));
    max_button->action = &QSkinWidget::restore;
    toggle_maximised();
}

void QSkinWidget::restore()
{
    max_button->set_images(system_image("maxButton", 1), system_image("maxButton", 2), system_image("maxButton", 3));
    max_button->action = &QSkinWidget::maximise;
    toggle_maximised();
}

void QSkinWidget::minimise()
{
    skin_buttons::reset(buttons);
    showMinimized();
}

void QSkinWidget::show_system_menu()
{
    system_menu->exec(QCursor::pos());
}

void QSkinWidget::on_click_close()
{
    close();
}

void QSkinWidget::closeEvent(QCloseEvent* event)
{
    // Asked here rather than in the button's action, so a close from the
    // window system's own controls is guarded too.
    if (work_running() && !close_confirmed) {
        if (show_warning(this, QStringLiteral("Quarvel"), "quit_warning", QMessageBox::Yes | QMessageBox::No) !=
            QMessageBox::Yes) {
            event->ignore();
            return;
        }
        close_confirmed = true;
    }
    save_window_state();
    skin_window_c::closeEvent(event);
}

void QSkinWidget::restore_window_state()
{
    if (!settings_store)
        return;
    const QByteArray geometry = settings_store->value(QStringLiteral("window/geometry")).toByteArray();
    // restoreGeometry keeps a window saved on a screen that is gone on one
    // that is here.
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    if (settings_store->value(QStringLiteral("window/maximised")).toBool() && restored)
        maximise();
}

void QSkinWidget::save_window_state() const
{
    if (!settings_store)
        return;
    // Maximised, the size to come back to is the one before.
    settings_store->setValue(QStringLiteral("window/geometry"), restored ? saveGeometry() : normal_geometry);
    settings_store->setValue(QStringLiteral("window/maximised"), !restored);
    settings_store->sync();
}

QString QSkinWidget::help_page_path()
{
    for (const QString& code : {language_code(), QStringLiteral("en")}) {
        const std::string name = "help/help_" + code.toStdString() + ".html";
        const QString path = QString::fromStdString(platform::program_data_file(name));
        if (QFileInfo(path).isFile())
            return QFileInfo(path).absoluteFilePath();
    }
    return {};
}

help_dialog_c* QSkinWidget::help_dialog() const { return help_window.data(); }

void QSkinWidget::on_click_help()
{
    // Our own window rather than a browser: there may be none, and run for
    // another user (through sudo or pkexec) a browser may not start at all.
    if (help_window) {
        help_window->raise();
        help_window->activateWindow();
        return;
    }
    const QString path = help_page_path();
    if (path.isEmpty()) {
        show_warning(this, QStringLiteral("Quarvel"), "help_missing", QMessageBox::Ok);
        return;
    }
    help_window = new help_dialog_c(path, this);
    help_window->show();
}

void QSkinWidget::on_click_language()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    if (choose_language(action->data().toInt()))
        show_warning(this, QStringLiteral("Quarvel"), "language_warning", QMessageBox::Ok);
}

void QSkinWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (event->button() != Qt::LeftButton || p.y() > move_band || button_at(p))
        return;
    if (const auto action = max_button->action)
        std::invoke(action, this);
}
