#include "spanishqt.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

/// Names of file types that Qt's Spanish catalogue lacks: the file dialog's "Tipo" column
/// would otherwise say "Folder". (A file's type is its MIME comment, in the system's language.)
class FileTypeNames : public QTranslator
{
public:
    using QTranslator::QTranslator;
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "QAbstractFileIconProvider") != 0)
            return {};
        if (qstrcmp(source, "Folder") == 0)
            return QStringLiteral("Carpeta");
        if (qstrcmp(source, "Drive") == 0)
            return QStringLiteral("Unidad");
        return {};
    }
    bool isEmpty() const override { return false; }
};

} // namespace

bool installSpanishQtTexts()
{
    // Spanish whatever the system's language: every text of our own is Spanish too.
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        && QCoreApplication::installTranslator(translator)) {
        QCoreApplication::installTranslator(new FileTypeNames(QCoreApplication::instance()));
        return true;
    }
    delete translator;
    return false;
}
