#pragma once
// The list's commands over a bare table, in a sandboxed home, with every prompt recorded.

#include "paths/tree_search.h"
#include "settings/settings.h"
#include "support/recording_prompts.h"
#include "support/tree_table.h"
#include "support/xdg_sandbox.h"
#include "ui/main_window/list_actions.h"

#include <gtest/gtest.h>
#include <memory>

namespace sonquarry::testing {

struct TListActionsFixture : ::testing::Test {
  TXdgSandbox Home;
  TPromptsScope Prompts;
  TTreeView List;
  TMainFormSettings Settings;
  std::unique_ptr<TTreeSearch> Search;
  TListActions Actions{nullptr, &List.View, List.Tree, Settings, Search};
};

} // namespace sonquarry::testing
