#include "skin/help_dialog.h"

#include "shell/settings.h"
#include "skin/button_style.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

help_dialog_c::help_dialog_c(const QString& page, QWidget* parent) : QSkinDialog(parent)
{
    setObjectName(QStringLiteral("help_dialog"));
    setWindowTitle(text_for_key("help_title"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(720, 600);

    browser_ = new QTextBrowser(this);
    browser_->setObjectName(QStringLiteral("help_browser"));
    browser_->setStyleSheet(QStringLiteral("QTextBrowser { border: 1px solid #8bb8fe; background: white; }"));
    // Links inside the page move within it; one that leaves it (none do
    // today) is not followed into a file of the data folder.
    browser_->setOpenLinks(false);
    connect(browser_, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (url.hasFragment() && (url.path().isEmpty() || url.path() == browser_->source().path()))
            browser_->scrollToAnchor(url.fragment());
    });
    if (page.isEmpty())
        browser_->setPlainText(text_for_key("help_missing"));
    else
        browser_->setSource(QUrl::fromLocalFile(page));

    close_ = new QPushButton(text_for_key("image_btn_close"), this);
    close_->setObjectName(QStringLiteral("btn_help_close"));
    close_->setFixedSize(100, 30);
    close_->setFont(QFont(QStringLiteral("Arial"), 10, QFont::Bold));
    close_->setStyleSheet(make_button_style(QStringLiteral("/images/partition_search/btn_wai_1.png"),
                                            QStringLiteral("/images/partition_search/btn_wai_2.png"),
                                            QStringLiteral("/images/partition_search/btn_wai_3.png")) +
                          QStringLiteral("QPushButton{ color: rgb(255, 255, 255); }"));
    connect(close_, &QPushButton::clicked, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);
    layout->addWidget(browser_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close_);
    layout->addLayout(buttons);
}
