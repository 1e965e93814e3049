#pragma once

#include "core/Common.h"
#include "options/OptionNode.h"
#include "options/OptionScan.h"

#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

/// A reading of the option folders on a thread of its own, started as early in the start-up as
/// the pack's paths are known, so that it runs while the windows are made. The tree step takes
/// it (OptionTreeController::AdoptEarlyScan) when it was made with the settings then in force.
///
/// The thread touches nothing but this record: it reads the settings file itself, with the
/// rules the start-up applies to it, and builds a tree of its own.
class EarlyOptionScan final
{
public:
    /// Starts reading the option folders of the pack whose program paths @p paths holds, with
    /// its settings file as it is on disk now.
    static std::unique_ptr<EarlyOptionScan> Start(const TProgramSettings &paths);

    /// Stops a reading that has not ended and waits for its thread.
    ~EarlyOptionScan();
    EarlyOptionScan(const EarlyOptionScan &) = delete;
    EarlyOptionScan &operator=(const EarlyOptionScan &) = delete;

    /// Whether the reading stands for one made now with @p settings: it read the same options
    /// folder with the same descriptor defaults, and not so long ago that the folders may have
    /// changed since (the start-up may have waited on a window in between).
    bool Answers(const TProgramSettings &settings) const;

    /// Waits for the end of the reading, passing its running count to @p progress while it
    /// lasts, then moves its nodes into @p tree (which must be empty) and returns what it found.
    OptionScanResult Take(OptionTree &tree, const std::function<void(int)> &progress);

private:
    EarlyOptionScan() = default;
    void run();

    TProgramSettings m_settings;
    OptionTree m_tree;
    OptionScanResult m_result;
    std::atomic<int> m_running{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_finished;
    bool m_done = false;
    QElapsedTimer m_started;
    std::thread m_thread;
};
