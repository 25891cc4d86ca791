#include "pages/service_page_frame.h"

#include "widgets/form_parts.h"
#include "widgets/lifecycle_picker.h"
#include "widgets/log_viewer.h"
#include "widgets/service_header.h"
#include "core/managed_process.h"
#include "core/service_orchestrator.h"
#include "pages/page_parts.h"

#include <QGroupBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace cordavelle {

QString portsWaitingForNextStart(const QString &program, const std::vector<PortInEffect> &ports)
{
    QStringList lines;
    for (const PortInEffect &port : ports) {
        if (port.running != port.stored) {
            lines << QStringLiteral("%1 listens on %2 %3 until it restarts; %2 %4 takes effect when %1 next starts.")
                         .arg(program, port.role, QString::number(port.running), QString::number(port.stored));
        }
    }
    return lines.join(QLatin1Char(' '));
}

ServicePageFrame::ServicePageFrame(QWidget *page, ServiceID service, ServiceOrchestrator &orchestrator, Clock &clock)
    : m_page(page), m_service(service), m_orchestrator(orchestrator), m_column(scrollingColumn(page))
{
    m_column->addWidget(new ServiceHeader(service, orchestrator, clock));
}

void ServicePageFrame::add(QWidget *widget)
{
    m_column->addSpacing(12);
    m_column->addWidget(widget);
}

void ServicePageFrame::addSection(const QString &title, QWidget *content) { add(pageSection(title, content)); }

void ServicePageFrame::addLifecycle(ServiceLifecycleMode mode, std::function<StoreAnswer(ServiceLifecycleMode)> store,
                                    const QString &caption)
{
    m_storedMode = mode;
    m_lifecycle = new LifecyclePicker(mode);
    auto *note = new SettingNote(m_lifecycle);
    QObject::connect(m_lifecycle, &LifecyclePicker::modeActivated, m_page,
                     [this, note, store = std::move(store)](ServiceLifecycleMode chosen) {
                         note->answer(store(chosen), [this] { refresh(m_storedMode); });
                     });
    auto *lifecycle = new QWidget;
    auto *lifecycleColumn = bareColumn(lifecycle);
    lifecycleColumn->addWidget(m_lifecycle);
    lifecycleColumn->addWidget(note);
    if (!caption.isEmpty()) {
        lifecycleColumn->addWidget(captionLabel(caption));
    }
    addSection(QStringLiteral("Lifecycle"), lifecycle);
}

void ServicePageFrame::addLog(std::function<void()> clear)
{
    m_log = new LogViewer(std::move(clear));
    add(m_log);
    ManagedProcess &process = m_orchestrator.process(m_service);
    QObject::connect(&process, &ManagedProcess::logLinesChanged, m_page,
                     [log = m_log, &process] { log->setLogLines(process.logLines()); });
}

void ServicePageFrame::addBelowDivider(QWidget *widget)
{
    m_column->addSpacing(8);
    m_column->addWidget(divider());
    m_column->addSpacing(8);
    m_column->addWidget(widget);
}

void ServicePageFrame::refresh(ServiceLifecycleMode mode)
{
    m_storedMode = mode;
    {
        const QSignalBlocker block(m_lifecycle);
        m_lifecycle->setMode(mode);
    }
    m_log->setLogLines(m_orchestrator.process(m_service).logLines());
}

} // namespace cordavelle
