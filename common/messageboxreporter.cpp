#include "messageboxreporter.h"

#include <QCoreApplication>
#include <QScreen>

MessageBoxReporter::~MessageBoxReporter()
{
    delete m_box.data();
}

namespace {

/// Long runs without a blank (paths, garbage from a file) get invisible break points, so the
/// box can wrap them instead of growing wider than the screen.
QString breakable(const QString &text)
{
    QString out;
    int run = 0;
    for (QChar c : text) {
        run = c.isSpace() ? 0 : run + 1;
        if (run > 40) {
            out += QChar(0x200B);
            run = 1;
        }
        out += c;
    }
    return out;
}

/// Long messages are cut, so that one cannot push the others off the screen.
QString shortened(const QString &message)
{
    return breakable(message.size() > MessageBoxReporter::kMaxMessageLength
                         ? message.left(MessageBoxReporter::kMaxMessageLength - 1) + QChar(0x2026)
                         : message);
}

} // namespace

void MessageBoxReporter::report(const QString &message)
{
    add(shortened(message), QString());
}

void MessageBoxReporter::reportOngoing(const QString &topic, const QString &message)
{
    if (!m_toldTopics.contains(topic)) {
        m_toldTopics.insert(topic);
        add(shortened(message), topic);
        return;
    }
    const qsizetype line = m_box && m_box->isVisible() ? m_shownTopics.indexOf(topic) : -1;
    if (line < 0)
        return; // dismissed: it was told
    m_shown[line] = shortened(message);
    showText();
}

void MessageBoxReporter::add(const QString &message, const QString &topic)
{
    if (m_box && m_box->isVisible()) {
        if (m_shown.contains(message))
            return;
        m_shown.append(message);
        m_shownTopics.append(topic);
        showText();
        return;
    }
    if (!m_box) {
        m_box = new QMessageBox(QMessageBox::Warning, QCoreApplication::applicationName(),
                                QString(), QMessageBox::Ok);
        m_box->setModal(false);
        m_box->setWindowModality(Qt::NonModal);
    }
    m_shown = {message};
    m_shownTopics = {topic};
    showText();
    m_box->show();
    m_box->raise();
}

void MessageBoxReporter::showText()
{
    const qsizetype older = m_shown.size() - kShownMessages;
    QStringList lines = m_shown.mid(qMax<qsizetype>(0, older));
    if (older > 0)
        lines.prepend(older == 1 ? QStringLiteral("(Hay 1 aviso anterior.)")
                                 : QStringLiteral("(Hay %1 avisos anteriores.)").arg(older));
    m_box->setText(lines.join(QStringLiteral("\n\n")));
    // Keep the whole box, its button included, on the screen.
    if (const QScreen *screen = m_box->screen()) {
        const QRect area = screen->availableGeometry();
        const QSize frame = m_box->frameGeometry().size() - m_box->size();
        m_box->setMaximumSize(area.size() - frame);
        m_box->adjustSize();
        QRect g = m_box->frameGeometry();
        g.moveRight(qMin(g.right(), area.right()));
        g.moveBottom(qMin(g.bottom(), area.bottom()));
        g.moveLeft(qMax(g.left(), area.left()));
        g.moveTop(qMax(g.top(), area.top()));
        m_box->move(g.topLeft());
    }
}

void MessageBoxReporter::information(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok);
    box.exec();
}
