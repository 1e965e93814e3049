#pragma once

// Finding nodes of an option tree by their folder path, for tests.

#include "options/OptionNode.h"

#include <QString>
#include <QStringList>

namespace testfiles {

/// The node whose folder is @p relative below the options root ("Group/Option"), or null.
inline OptionNode *FindNode(const OptionTree &tree, const QString &relative)
{
    const std::vector<std::unique_ptr<OptionNode>> *level = &tree.TopLevel();
    OptionNode *node = nullptr;
    for (const QString &part : relative.split(QLatin1Char('/'))) {
        node = nullptr;
        for (const auto &n : *level) {
            if (n->Text() == part)
                node = n.get();
        }
        if (!node)
            return nullptr;
        level = &node->Children;
    }
    return node;
}

} // namespace testfiles
