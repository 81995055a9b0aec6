#include "failure.h"

#include <QCoreApplication>

MessageBoxReporter::~MessageBoxReporter()
{
    delete m_box.data();
}

void MessageBoxReporter::report(const QString &message)
{
    if (m_box && m_box->isVisible()) {
        if (m_shown.contains(message))
            return;
        m_shown.append(message);
        m_box->setText(m_shown.join(QStringLiteral("\n\n")));
        return;
    }
    if (!m_box) {
        m_box = new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(),
                                QString(), QMessageBox::Ok);
        m_box->setModal(false);
        m_box->setWindowModality(Qt::NonModal);
    }
    m_shown = {message};
    m_box->setText(message);
    m_box->show();
    m_box->raise();
}

void MessageBoxReporter::information(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok);
    box.exec();
}
