#pragma once

#include "failure.h"

#include <QMessageBox>
#include <QPointer>
#include <QSet>

/// Shows failures in one non-modal warning box; a message already on screen is not repeated.
/// The box shows the newest few and counts the rest, and stays within the screen.
class MessageBoxReporter final : public FailureReporter
{
public:
    static constexpr int kShownMessages = 5;
    static constexpr int kMaxMessageLength = 500;

    MessageBoxReporter() = default;
    ~MessageBoxReporter() override;
    void report(const QString &message) override;
    void reportOngoing(const QString &topic, const QString &message) override;
    void information(const QString &text) override;
    /// The box while it exists (for tests).
    QMessageBox *box() const { return m_box; }

private:
    void add(const QString &message, const QString &topic);
    void showText();

    QPointer<QMessageBox> m_box;
    QStringList m_shown;
    QStringList m_shownTopics; // beside m_shown: the topic of each line, empty for none
    QSet<QString> m_toldTopics;
};
