#include "frmcomm1.h"

#include "frmdispvanto.h"
#include "settingsfile.h"
#include "twips.h"
#include "widgets.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <vector>

using serialsettings::Group;

frmcomm1::frmcomm1(Acquisition &acquisition, frmdispVanto &main, FailureReporter &reporter,
                   const QByteArray &settingsPath, QWidget *parent)
    : QWidget(parent), m_acq(acquisition), m_k(acquisition.kyrserie()), m_main(main), m_reporter(reporter), m_settingsPath(settingsPath)
{
    setObjectName(QStringLiteral("frmcomm1"));
    setWindowTitle(QStringLiteral("phcomm"));
    setFixedSize(twips::px(6255), twips::px(5310));

    std::vector<std::pair<int, QWidget *>> tabOrder;
    QMap<Group, QGroupBox *> frames;
    for (const auto &f : serialsettings::kFrames) {
        auto *box = placeWidget<QGroupBox>(this, f.name, f.left, f.top, f.width, f.height);
        box->setTitle(QString::fromUtf8(f.caption));
        frames.insert(f.group, box);
    }
    // Radio buttons sharing a frame form one option group: Qt's auto-exclusivity works per parent.
    for (const auto &b : serialsettings::kButtons) {
        auto *radio = placeWidget<QRadioButton>(frames.value(b.group), b.name, QString::fromUtf8(b.caption),
                                                b.left, b.top, b.width, b.height);
        m_buttons.insert(QByteArray(b.name), radio);
        tabOrder.emplace_back(b.tab, radio);
        const char *name = b.name;
        connectHandler(radio, &QRadioButton::clicked, this, m_reporter, [this, name] { choose(name); });
    }

    auto command = [&](const char *name, const char *caption, int l, int t, int w, int h, int tab) {
        auto *button = placeWidget<QPushButton>(this, name, QString::fromLatin1(caption), l, t, w, h);
        tabOrder.emplace_back(tab, button);
        return button;
    };
    m_guardar1 = command("guardar1", "Guardarserie", 960, 3240, 1215, 495, 18);
    auto *configserie = command("Configserie", "Confserie", 2520, 3360, 1215, 495, 1);
    auto *cargar = command("Cargar", "Cargar", 960, 3840, 1215, 495, 0);
    auto *cerrar = command("cerrar", "Cerrar", 2640, 3960, 1215, 375, 19);
    connectHandler(m_guardar1, &QPushButton::clicked, this, m_reporter, [this] { guardar1_Click(); });
    connectHandler(configserie, &QPushButton::clicked, this, m_reporter, [this] { Configserie_Click(); });
    connectHandler(cargar, &QPushButton::clicked, this, m_reporter, [this] { Cargar_Click(); });
    connectHandler(cerrar, &QPushButton::clicked, this, m_reporter, [this] { cerrar_Click(); });

    std::sort(tabOrder.begin(), tabOrder.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    for (size_t i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    cargar->setFocus();
}

QRadioButton *frmcomm1::optionButton(const char *name) const
{
    return m_buttons.value(QByteArray(name));
}

serialsettings::Pieces frmcomm1::pieces() const
{
    return serialsettings::fromRecord(m_k, m_velocidad);
}

void frmcomm1::setPieces(const serialsettings::Pieces &p)
{
    m_velocidad = p.velocidad;
    serialsettings::toRecord(p, m_k);
}

void frmcomm1::choose(const char *name)
{
    const auto &buttons = serialsettings::kButtons;
    const auto it = std::find_if(buttons.begin(), buttons.end(), [name](const auto &b) { return qstrcmp(b.name, name) == 0; });
    serialsettings::Pieces p = pieces();
    serialsettings::store(*it, p);
    setPieces(p);
    if (it->group == Group::Port)
        m_acq.choosePort(it->port);
}

void frmcomm1::Configserie_Click()
{
    m_acq.apply(m_k.numpuerto, serialsettings::compose(pieces()));
}

void frmcomm1::cerrar_Click()
{
    m_main.Framdis()->setVisible(true);
    hide();
    m_main.Framdis()->setEnabled(true);
    // The label tells what is true of the port: the settings in force, open or closed.
    m_main.showPortState();
    // Files are opened and closed within each save or load, so none is left open here.
}

void frmcomm1::guardar1_Click()
{
    m_reporter.information(QStringLiteral("Abriendo archivo ") + settingsfile::fileName());
    settingsfile::save(m_settingsPath, pieces());
}

void frmcomm1::Cargar_Click()
{
    m_guardar1->setEnabled(true);
    // The whole file is read and checked before anything changes: a damaged file leaves the
    // settings and the buttons as they were.
    const serialsettings::Pieces loaded = settingsfile::load(m_settingsPath);
    setPieces(loaded);
    m_k.cadenaconf = serialsettings::compose(loaded);
    for (const auto &f : serialsettings::kFrames)
        if (const auto *b = serialsettings::matchingButton(f.group, loaded))
            optionButton(b->name)->setChecked(true); // selects without running the click handler
}
