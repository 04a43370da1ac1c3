// The main window's user extension: its view, its errors and the watchdog that stops a runaway script.
#include "ui/MainWindow.h"

#include "app/SettingsKeys.h"
#include "script/ExtensionSingletons.h"
#include "script/Midi.h"
#include "script/ScriptAPI.h"
#include "script/ScriptWatchdog.h"
#include "ui_MainWindow.h"

#include <QDebug>
#include <QMessageBox>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlError>
#include <QQuickItem>
#include <QQuickView>
#include <QTimer>
#include <QUrl>

void MainWindow::setupExtensions()
{
    connect(m_scriptApi, &ScriptAPI::scriptError, this, &MainWindow::reportExtensionError);
    connect(m_midi, &Midi::scriptError, this, &MainWindow::reportExtensionError);
    connect(m_watchdog, &ScriptWatchdog::stopped, this, &MainWindow::extensionBlocked);

    const bool show = m_settings.value(SettingsKeys::kScriptShow, false).toBool();
    ui->actionExtensions->setChecked(show);
    on_actionExtensions_triggered(show);
}

void MainWindow::on_actionExtensions_triggered(bool checked)
{
    m_settings.setValue(SettingsKeys::kScriptShow, checked);
    closeExtensionView();
    if (!checked) {
        m_midi->clearBindings();
        return;
    }
    m_extensionErrors.clear();
    m_extensionLoadFailed = false;

    m_extensionView = std::make_unique<QQuickView>();
    QQuickView *view = m_extensionView.get();
    view->setTitle(ui->actionExtensions->text());
    QQmlEngine *engine = view->engine();
    // Each warning reaches the log once, as an extension error, instead of also on standard error.
    engine->setOutputWarningsToStandardError(false);
    connect(engine, &QQmlEngine::warnings, this, [this](const QList<QQmlError> &warnings) {
        for (const QQmlError &w : warnings)
            reportExtensionError(w.toString());
    });
    // Qt.quit() in an extension ends the extension's wish, not the remote desktop.
    connect(engine, &QQmlEngine::quit, this, [] { qInfo().noquote() << "Extension asked to quit; ignored"; });
    connect(engine, &QQmlEngine::exit, this, [](int) { qInfo().noquote() << "Extension asked to exit; ignored"; });
    ExtensionSingletons::attach(engine, m_scriptApi, m_midi);
    engine->addImportPath(QStringLiteral("qrc:///"));

    // From here on a script that never returns is interrupted, even while it is being created.
    m_watchdog->watch(engine);
    loadExtension(view);
    // An extension that blocked while it was created may already be gone again.
    if (m_extensionView.get() != view)
        return;
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->show();
}

void MainWindow::loadExtension(QQuickView *view)
{
    const QString path = m_settings.value(SettingsKeys::kScript, QString()).toString();
    qInfo().noquote() << QStringLiteral("Attempting to load ") + path;
    const QUrl url = QUrl::fromLocalFile(path);
    // The component is created here rather than by the view, so that each error is reported once and a root that
    // is not an Item is refused with a reason.
    auto *component = new QQmlComponent(view->engine(), url, QQmlComponent::PreferSynchronous, view);
    QObject *root = component->isReady() ? component->create() : nullptr;
    QStringList errors;
    if (component->isError()) {
        for (const QQmlError &e : component->errors())
            errors << e.toString();
    } else if (!root) {
        errors << QStringLiteral("%1: the extension did not load").arg(url.toString());
    } else if (!qobject_cast<QQuickItem *>(root)) {
        errors
            << QStringLiteral("%1:1:1: the root object is not a visual item (derive it from Item)").arg(url.toString());
    }
    if (errors.isEmpty()) {
        view->setContent(url, component, root);
        return;
    }
    delete root;
    m_extensionLoadFailed = true;
    qWarning().noquote() << "Failed to load extensions.";
    for (const QString &e : qAsConst(errors))
        reportExtensionError(e);
}

void MainWindow::closeExtensionView()
{
    if (!m_extensionView)
        return;
    m_watchdog->watch(nullptr);
    // Function values die with their engine; a callback of a closed extension has nothing left to run.
    m_scriptApi->dropScheduledCallbacks();
    m_midi->dropCallbacks();
    m_extensionView->close();
    m_extensionView.reset();
}

void MainWindow::reportExtensionError(const QString &text)
{
    QString line = text.left(kMaxExtensionErrorChars);
    if (text.size() > kMaxExtensionErrorChars)
        line += QStringLiteral("...");
    qWarning().noquote() << QStringLiteral("Extension error: ") + line;
    showExtensionProblem(line);
}

void MainWindow::showExtensionProblem(const QString &line)
{
    m_extensionErrors.append(line);
    while (m_extensionErrors.size() > kMaxExtensionErrors)
        m_extensionErrors.removeFirst();
    // Laid out once per turn of the event loop, however many errors arrive in it: a script failing a hundred
    // callbacks in one tick would otherwise hold the window for seconds re-wrapping the text.
    if (m_extensionErrorsPending)
        return;
    m_extensionErrorsPending = true;
    QTimer::singleShot(0, this, [this] {
        m_extensionErrorsPending = false;
        // One box, updated in place: a script that fails every tick must not bury the desktop under windows.
        if (!m_extensionErrorBox) {
            m_extensionErrorBox =
                new QMessageBox(QMessageBox::Warning, ui->actionExtensions->text(), QString(), QMessageBox::Ok, this);
            m_extensionErrorBox->setObjectName(QStringLiteral("extensionErrorBox"));
            m_extensionErrorBox->setWindowModality(Qt::NonModal);
            m_extensionErrorBox->setModal(false);
        }
        m_extensionErrorBox->setText(m_extensionLoadFailed ? QStringLiteral("Failed to load extensions.")
                                                           : QStringLiteral("The extension reported errors."));
        m_extensionErrorBox->setInformativeText(m_extensionErrors.join(QLatin1Char('\n')));
        m_extensionErrorBox->show();
    });
}

void MainWindow::extensionBlocked()
{
    const QString text = QStringLiteral("Extension stopped: it blocked the window for more than 5 s.");
    qWarning().noquote() << text;
    // As if the user had unchecked it, so that the next start does not hang again.
    ui->actionExtensions->setChecked(false);
    on_actionExtensions_triggered(false);
    showExtensionProblem(text);
}
