#include "options/EarlyOptionScan.h"

#include <chrono>

namespace {

// A reading older than this when the tree is built is read again: the start-up may have
// waited on a window (the update check) while the folders changed.
constexpr qint64 FreshMs = 5000;

// The settings a reading of the option folders depends on.
bool sameScanInputs(const TProgramSettings &a, const TProgramSettings &b)
{
    return a.ProgramDir == b.ProgramDir && a.OptionsDir == b.OptionsDir &&
           a.optionsRoot() == b.optionsRoot() &&
           a.DefaultReadMeTxtFName == b.DefaultReadMeTxtFName &&
           a.DefaultReadMeHtmlFName == b.DefaultReadMeHtmlFName &&
           a.DefaultReadMeHttpFName == b.DefaultReadMeHttpFName &&
           a.DefaultRunMeFName == b.DefaultRunMeFName &&
           a.DefaultRunMe2FName == b.DefaultRunMe2FName &&
           a.DefaultProgramDelay == b.DefaultProgramDelay;
}

} // namespace

std::unique_ptr<EarlyOptionScan> EarlyOptionScan::Start(const TProgramSettings &paths)
{
    std::unique_ptr<EarlyOptionScan> scan(new EarlyOptionScan);
    scan->m_settings = paths;
    scan->m_started.start();
    EarlyOptionScan *reading = scan.get();
    scan->m_thread = std::thread([reading] { reading->run(); });
    return scan;
}

EarlyOptionScan::~EarlyOptionScan()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void EarlyOptionScan::run()
{
    SecondaryWindowSizes sizes;
    ::LoadProgramIniFile(m_settings, sizes);
    ConfineSettingsFolders(m_settings); // the folders the tree step will read
    m_result = ScanOptionFolders(
        m_tree, m_settings.optionsRoot(), nullptr, m_settings, {},
        [this](int count) { m_running = count; }, &m_stop);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_finished.notify_all();
}

bool EarlyOptionScan::Answers(const TProgramSettings &settings) const
{
    return m_started.elapsed() <= FreshMs && sameScanInputs(m_settings, settings);
}

OptionScanResult EarlyOptionScan::Take(OptionTree &tree, const std::function<void(int)> &progress)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_done) {
            m_finished.wait_for(lock, std::chrono::milliseconds(16));
            if (m_done || !progress)
                continue;
            lock.unlock(); // the splash repaints in here
            progress(m_running);
            lock.lock();
        }
    }
    m_thread.join();
    tree.SwapNodes(m_tree);
    if (progress)
        progress(m_result.OptionCount);
    return m_result;
}
