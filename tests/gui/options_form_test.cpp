// The Options dialog: validation, mask editing, the range list, the IP controls, what "Ok" stores
// and saves and what "Cancel" leaves alone.
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>

#include "app/program_network.h"
#include "engine/net_scan.h"
#include "platform/registry/registry.h"
#include "settings/settings.h"
#include "support/fake_net_provider.h"
#include "support/main_form_seam.h"
#include "support/recording_prompts.h"
#include "support/xdg_sandbox.h"
#include "ui/dialogs/comp_search_form.h"
#include "ui/dialogs/ip_query_form.h"
#include "ui/dialogs/options_form.h"
#include "ui/main_window/main_form.h"

namespace sonquarry {
namespace {

using testing::Command;
using testing::ReadAll;
using testing::Seam;

using Strings = std::vector<std::string>;

uint32_t IP(const char *Text) { return StrIP(Text); }

class OptionsFormTest : public ::testing::Test {
protected:
  OptionsFormTest() {
    ApplyMainFormDefaults(Scan, Settings);
    Form.CompSearchPauseMs = 0;
    Form.CompSearchProvider = std::make_shared<sonquarry::testing::FakeNetProvider>();
  }
  // Opens the dialog as the main window does; Run plays the user.
  int Open(std::function<int(TfmOptions &)> Run, int Page = -1) {
    prompts->Dialogs.push_back([this, Run](QDialog &D) {
      EXPECT_EQ(&D, &Form);
      Form.setResult(QDialog::Rejected);
      return Run(Form);
    });
    return ShowOptions(Form, nullptr, Scan, Settings, Page);
  }
  // Presses "Ok"; the dialog's result after it.
  static int Ok(TfmOptions &F) {
    F.btnOK->click();
    return F.result();
  }
  // Answers the next "Add IP"/"Edit IP" dialog with the given fields and "Ok".
  void AnswerIP(const char *First, const char *Last = nullptr) {
    prompts->Dialogs.push_back([First, Last](QDialog &D) {
      auto &Q = static_cast<TIPQueryForm &>(D);
      Q.SetRangeMode(Last != nullptr);
      Q.edtIP1->setText(First);
      if (Last) Q.edtIP2->setText(Last);
      Q.btnOK->click();
      return Q.result();
    });
  }
  Strings IPTexts() const { return Strings(TfmOptions::Entries(Form.lbIP)); }

  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope prompts;
  TNetScan Scan;
  TMainFormSettings Settings;
  TfmOptions Form;
};

TEST_F(OptionsFormTest, OkValidatesInOrderAndStaysOnThePageOfTheFirstFault) {
  struct Case {
    const char *Name;
    bool AnyExt;
    Strings AllowC, DenyC, AllowR, DenyR;
    const char *Message; // nullptr: accepted
    unsigned Style;
    int Page;
  };
  const char *Comps = "Allowed and denied lists of computers are the same. No computers to search.";
  const char *Res = "Allowed and denied lists of resources are the same. No resources to search.";
  const Case Cases[] = {
      {"one allowed not denied", true, {"\\\\A", "\\\\B"}, {"\\\\a"}, {}, {}, nullptr, 0, 0},
      {"all allowed denied, case aside",
       true,
       {"\\\\A"},
       {"\\\\a"},
       {},
       {},
       Comps,
       MB_ICONINFORMATION,
       2},
      {"empty allowed", true, {}, {"\\\\*"}, {}, {"*"}, nullptr, 0, 0},
      {"extensions first",
       false,
       {"\\\\A"},
       {"\\\\a"},
       {"x"},
       {"X"},
       "No extension was selected.",
       MB_ICONWARNING,
       0},
      {"computers before resources",
       true,
       {"\\\\A"},
       {"\\\\A"},
       {"x"},
       {"X"},
       Comps,
       MB_ICONINFORMATION,
       2},
      {"resources",
       true,
       {"\\\\A"},
       {},
       {"music", "Video"},
       {"MUSIC", "video"},
       Res,
       MB_ICONINFORMATION,
       3},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    prompts->Records.clear();
    Scan.Filter.Extentions = {".MP3", ".wma"};
    Scan.Filter.AllowedComps = C.AllowC;
    Scan.Filter.DeniedComps = C.DenyC;
    Scan.Filter.AllowedRes = C.AllowR;
    Scan.Filter.DeniedRes = C.DenyR;
    const int Result = Open(
        [&](TfmOptions &F) {
          EXPECT_TRUE(F.chkMP3->isChecked());
          EXPECT_FALSE(F.chkMP2->isChecked());
          EXPECT_TRUE(F.chkWMA->isChecked());
          F.Pages->setCurrentIndex(1);
          if (!C.AnyExt) F.chkMP3->setChecked(false), F.chkWMA->setChecked(false);
          return Ok(F);
        },
        1);
    const auto Messages = prompts->Messages();
    if (!C.Message) {
      EXPECT_EQ(Result, QDialog::Accepted);
      EXPECT_TRUE(Messages.empty());
      EXPECT_EQ(Scan.Filter.Extentions, (Strings{".mp3", ".wma"}));
      continue;
    }
    EXPECT_EQ(Result, QDialog::Rejected);
    ASSERT_EQ(Messages, Strings{C.Message});
    EXPECT_EQ(prompts->Records[1].Style, C.Style | MB_TOPMOST);
    EXPECT_EQ(Form.Pages->currentIndex(), C.Page);
    EXPECT_EQ(Scan.Filter.Extentions, (Strings{".MP3", ".wma"})); // nothing written back
  }
}

TEST_F(OptionsFormTest, SevenExtensionBoxesLoadCaseBlindAndStoreInTheirOrder) {
  const std::vector<QCheckBox *> Boxes = {Form.chkMP3, Form.chkMP2,  Form.chkWMA, Form.chkFLAC,
                                          Form.chkOGG, Form.chkOPUS, Form.chkM4A};
  struct Case {
    Strings Stored;
    std::vector<bool> Shown;
    Strings Tick; // then only these ticked, by label
    Strings Saved;
  } Cases[] = {
      {{".M4A", ".flac", ".aac"},
       {false, false, false, true, false, false, true},
       {"FLAC", "OPUS"},
       {".flac", ".opus"}},
      {{".opus", ".ogg", ".mp2"},
       {false, true, false, false, true, true, false},
       {"M4A", "OGG", "MP3"},
       {".mp3", ".ogg", ".m4a"}},
  };
  for (const Case &C : Cases) {
    Scan.Filter.Extentions = C.Stored;
    const int Result = Open([&](TfmOptions &F) {
      for (std::size_t I = 0; I < Boxes.size(); ++I)
        EXPECT_EQ(Boxes[I]->isChecked(), C.Shown[I]) << Boxes[I]->text().toStdString();
      for (QCheckBox *B : Boxes)
        B->setChecked(
            std::count(C.Tick.begin(), C.Tick.end(), B->text().remove('&').toStdString()));
      return Ok(F);
    });
    EXPECT_EQ(Result, QDialog::Accepted);
    EXPECT_EQ(Scan.Filter.Extentions, C.Saved);
  }
  // A new box alone is an extension: only none of the seven is refused.
  EXPECT_EQ(Open([&](TfmOptions &F) {
              for (QCheckBox *B : Boxes) B->setChecked(false);
              return Ok(F);
            }),
            QDialog::Rejected);
  EXPECT_EQ(prompts->Messages().back(), "No extension was selected.");
}

TEST_F(OptionsFormTest, ComputerMasksGetTheirPrefixAndDuplicatesDependOnTheWayIn) {
  const std::pair<const char *, const char *> Typed[] = {
      {"Comp", "\\\\Comp"}, {"\\Comp", "\\\\Comp"}, {"\\\\Comp", "\\\\Comp"}, {"", "\\\\"}};
  for (const auto &[In, Out] : Typed) {
    SCOPED_TRACE(In);
    Form.ClearMasks(Form.lbAllowedComp);
    prompts->Inputs.push_back(In);
    Form.btnAddAllowedComp->click();
    EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedComp), Strings{Out});
    EXPECT_EQ(prompts->Records.back().Caption, "Add computer");
    EXPECT_EQ(prompts->Records.back().Text, "Computer name (e.g. \\\\Computer, \\\\Comp*, Comp):");
  }
  // Editing shows the name without its backslashes and puts them back.
  Form.lbAllowedComp->item(0)->setText("\\\\Comp");
  Form.lbAllowedComp->item(0)->setSelected(true);
  prompts->Inputs.push_back("Other");
  Form.btnEditAllowedComp->click();
  EXPECT_EQ(prompts->Records.back().Caption, "Edit computer");
  EXPECT_EQ(prompts->InputStarts.back(), "Comp");
  EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedComp), Strings{"\\\\Other"});

  // Typed, a name differing only in case is a duplicate; imported, it is another entry.
  Form.ClearMasks(Form.lbDeniedComp);
  prompts->Inputs.push_back("comp");
  Form.btnAddDeniedComp->click();
  prompts->Inputs.push_back("\\\\COMP");
  Form.btnAddDeniedComp->click();
  EXPECT_EQ(prompts->Messages().back(), "Item already exists in list.");
  EXPECT_EQ(prompts->Records.back().Style, MB_ICONINFORMATION | MB_TOPMOST);
  EXPECT_EQ(TfmOptions::Entries(Form.lbDeniedComp), Strings{"\\\\comp"});
  prompts->Dialogs.push_back([](QDialog &D) {
    auto &S = static_cast<TCompSearchForm &>(D);
    EXPECT_EQ(S.windowTitle(), "Select computers");
    for (const char *N : {"\\\\COMP", "\\\\comp", "\\\\A"}) S.lbSelComputers->addItem(N);
    return int(QDialog::Accepted);
  });
  Form.btnFindDeniedComp->click();
  EXPECT_EQ(TfmOptions::Entries(Form.lbDeniedComp), (Strings{"\\\\A", "\\\\comp", "\\\\COMP"}));
  // A cancelled "Select computers" adds nothing.
  prompts->Dialogs.push_back([](QDialog &) { return int(QDialog::Rejected); });
  Form.btnFindAllowedComp->click();
  EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedComp), Strings{"\\\\Other"});
}

TEST_F(OptionsFormTest, MaskListsKeepCaseBlindOrderAndEditOnlyOneEntry) {
  for (const char *In : {"video", "Music", "audio", "Archive"}) {
    prompts->Inputs.push_back(In);
    Form.btnAddAllowedRes->click();
  }
  EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedRes),
            (Strings{"Archive", "audio", "Music", "video"}));
  // An empty resource is added as typed; an empty edit changes nothing.
  prompts->Inputs.push_back("");
  QTest::keyRelease(Form.lbAllowedRes, Qt::Key_Insert);
  EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedRes).front(), "");
  EXPECT_TRUE(Form.lbAllowedRes->item(0)->isSelected());
  Form.lbAllowedRes->clearSelection();
  Form.lbAllowedRes->item(2)->setSelected(true);
  prompts->Inputs.push_back("");
  Form.btnEditAllowedRes->click();
  EXPECT_EQ(prompts->InputStarts.back(), "audio");
  EXPECT_EQ(Form.lbAllowedRes->item(2)->text(), "audio");
  // Edited in place, not re-sorted.
  prompts->Inputs.push_back("zzz");
  Form.btnEditAllowedRes->click();
  EXPECT_EQ(Form.lbAllowedRes->item(2)->text(), "zzz");

  // Two selected: the message and no prompt; none selected: nothing at all.
  Form.lbAllowedRes->item(1)->setSelected(true);
  const size_t Before = prompts->Records.size();
  Form.btnEditAllowedRes->click();
  ASSERT_EQ(prompts->Records.size(), Before + 1);
  EXPECT_EQ(prompts->Records.back().Kind, "message");
  EXPECT_EQ(prompts->Records.back().Caption, "Error");
  EXPECT_EQ(prompts->Records.back().Text, "You can select only one item for editing");
  EXPECT_EQ(prompts->Records.back().Style, MB_OK);
  QTest::keyRelease(Form.lbAllowedRes, Qt::Key_Delete);
  EXPECT_EQ(TfmOptions::Entries(Form.lbAllowedRes), (Strings{"", "Music", "video"}));
  Form.lbAllowedRes->clearSelection();
  Form.btnEditAllowedRes->click();
  Form.btnDeleteAllowedRes->click();
  EXPECT_EQ(prompts->Records.size(), Before + 1);
  EXPECT_EQ(Form.lbAllowedRes->count(), 3);
}

TEST_F(OptionsFormTest, RangesTakeTheirPlaceInTheListAndKeepTheirMarks) {
  struct Case {
    const char *Name;
    std::vector<std::pair<const char *, const char *>> Listed;
    std::pair<const char *, const char *> Added;
    Strings After;
  };
  const Case Cases[] = {
      {"between two single addresses",
       {{"10.0.0.1", "10.0.0.1"}, {"10.0.0.20", "10.0.0.20"}},
       {"10.0.0.9", "10.0.0.9"},
       {"10.0.0.1", "10.0.0.9", "10.0.0.20"}},
      {"inside a listed range",
       {{"10.0.0.1", "10.0.0.9"}},
       {"10.0.0.5", "10.0.0.7"},
       {"10.0.0.1 - 10.0.0.9", "10.0.0.5 - 10.0.0.7"}},
      {"around a listed range",
       {{"10.0.0.5", "10.0.0.7"}},
       {"10.0.0.1", "10.0.0.9"},
       {"10.0.0.5 - 10.0.0.7", "10.0.0.1 - 10.0.0.9"}},
      {"duplicate", {{"10.0.0.2", "10.0.0.2"}}, {"10.0.0.2", "10.0.0.2"}, {"10.0.0.2", "10.0.0.2"}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    TIPList L;
    for (const auto &[A, B] : C.Listed) L.Add(IP(A), IP(B), 0);
    Form.SetIPList(&L);
    if (C.Added.first == std::string(C.Added.second))
      AnswerIP(C.Added.first);
    else
      AnswerIP(C.Added.first, C.Added.second);
    Form.btnNewIP->click();
    EXPECT_EQ(IPTexts(), C.After);
    const int Row = Form.lbIP->currentRow();
    EXPECT_EQ(Form.RangeItemAt(Row).From, IP(C.Added.first));
    EXPECT_EQ(Form.lbIP->item(Row)->checkState(), Qt::Checked);
  }
  EXPECT_EQ(prompts->Records.back().Caption, "Add IP");

  // Edit keeps the mark and may move the entry; Delete selects the entry now at that place.
  TIPList L;
  for (const char *A : {"10.0.0.1", "10.0.0.5", "10.0.0.9"}) L.Add(IP(A), IP(A), 1);
  L[0].Tag = 0;
  Form.SetIPList(&L);
  Form.lbIP->setCurrentRow(0);
  AnswerIP("10.0.0.12", "10.0.0.10");
  Form.btnEditIP->click();
  EXPECT_EQ(prompts->Records.back().Caption, "Edit IP");
  EXPECT_EQ(IPTexts(), (Strings{"10.0.0.5", "10.0.0.9", "10.0.0.10 - 10.0.0.12"}));
  EXPECT_EQ(Form.lbIP->item(2)->checkState(), Qt::Unchecked);
  Form.lbIP->setCurrentRow(2);
  Form.btnDeleteIP->click();
  EXPECT_EQ(Form.lbIP->currentRow(), 1);
  Form.lbIP->setCurrentRow(0);
  Form.btnDeleteIP->click();
  EXPECT_EQ(IPTexts(), Strings{"10.0.0.9"});
  EXPECT_EQ(Form.lbIP->currentRow(), 0);
}

TEST_F(OptionsFormTest, ChoosingIPScanningWithoutRangesAsksForOneAtOnce) {
  Scan.NetBios = true;
  const int Result = Open(
      [&](TfmOptions &F) {
        EXPECT_FALSE(F.lbIP->isEnabled());
        EXPECT_FALSE(F.edtTimeOut->isEnabled());
        EXPECT_TRUE(F.rgScanMethod->isEnabled());
        F.rbIPAddress->click(); // the "Add IP" answer: cancelled (none queued)
        EXPECT_TRUE(F.rbIPAddress->isChecked());
        EXPECT_TRUE(F.lbIP->isEnabled());
        EXPECT_TRUE(F.btnNewIP->isEnabled());
        EXPECT_TRUE(F.lblMs->isEnabled());
        EXPECT_EQ(F.lbIP->count(), 0);
        return Ok(F);
      },
      TfmOptions::NetworkOptionsPage);
  EXPECT_EQ(Result, QDialog::Accepted);
  ASSERT_EQ(prompts->Records.size(), 2u);
  EXPECT_EQ(prompts->Records[1].Caption, "Add IP");
  EXPECT_FALSE(Scan.NetBios);

  // Back to the neighbourhood: the ranges keep their marks and the enabled ones reach the
  // coordinator.
  Settings.IPRanges.Add(IP("10.0.0.1"), IP("10.0.0.3"), 1);
  Settings.IPRanges.Add(IP("10.0.0.7"), IP("10.0.0.7"), 0);
  Open([&](TfmOptions &F) {
    F.lbIP->setCurrentRow(1);
    F.rbNetworkNeibourhood->click();
    EXPECT_FALSE(F.lbIP->isEnabled());
    EXPECT_FALSE(F.btnClearIP->isEnabled());
    EXPECT_FALSE(F.lblTimeout->isEnabled());
    EXPECT_TRUE(F.lbIP->selectedItems().isEmpty());
    return Ok(F);
  });
  EXPECT_TRUE(Scan.NetBios);
  ASSERT_EQ(Settings.IPRanges.Count(), 2u);
  EXPECT_EQ(Settings.IPRanges[0].Tag, 1);
  EXPECT_EQ(Settings.IPRanges[1].Tag, 0);
  EXPECT_EQ(Scan.IPRangeCount(), 1u);
  EXPECT_EQ(prompts->Records.size(), 3u); // no "Add IP" this time
}

TEST_F(OptionsFormTest, OkStoresAndSavesEverySettingWithTheTimeOutClamped) {
  {
    registry::TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey(SettingsKey, true));
    Reg.WriteInteger("TimeOut", 9000);
    Reg.WriteInteger("ScanMethod", 1);
    Reg.WriteInteger("MaxThreadCount", 40);
    Reg.WriteInteger("ServerConnections", 5);
  }
  LoadSettings(Scan, Settings, Scan);
  ASSERT_EQ(Scan.TimeOut, 9000);
  Open([&](TfmOptions &F) {
    EXPECT_EQ(F.edtTimeOut->value(), 5000);
    EXPECT_EQ(F.edtThreads->value(), 40);
    F.edtThreads->setValue(300); // held to the stored limit
    EXPECT_EQ(F.edtThreads->value(), 256);
    F.edtThreads->setValue(3);
    EXPECT_EQ(F.edtConnections->value(), 5);
    F.edtConnections->setValue(2);
    EXPECT_EQ(F.rgScanMethodItems->checkedId(), 1);
    EXPECT_FALSE(F.chkProbe445->isChecked());
    EXPECT_TRUE(F.chkWsDiscovery->isChecked());
    EXPECT_TRUE(F.chkMdns->isChecked());
    F.chkMdns->setChecked(false);
    F.chkClearList->setChecked(true);
    F.chkMP2->setChecked(true);
    F.edtPlayListExt->setText("m3u8");
    F.edtPlayerCommand->setText("vlc --one-instance");
    AnswerIP("10.0.0.4");
    F.rbIPAddress->click();
    F.rgScanMethodItems->button(0)->setChecked(true);
    F.chkProbe445->setChecked(true);
    F.chkWsDiscovery->setChecked(false);
    return Ok(F);
  });
  TNetScan Loaded;
  TMainFormSettings LoadedForm;
  ApplyMainFormDefaults(Loaded, LoadedForm);
  LoadSettings(Loaded, LoadedForm, Loaded);
  EXPECT_EQ(Loaded.TimeOut, 5000);
  EXPECT_EQ(Loaded.MaxThreadCount, 3);
  EXPECT_EQ(Loaded.ServerConnections, 2);
  EXPECT_TRUE(Loaded.IsClearBefor);
  EXPECT_EQ(Loaded.Filter.Extentions, (Strings{".mp3", ".mp2"}));
  EXPECT_EQ(LoadedForm.PlayListExt, "m3u8");
  EXPECT_EQ(LoadedForm.PlayerCommand, "vlc --one-instance");
  EXPECT_FALSE(Loaded.NetBios);
  EXPECT_EQ(Loaded.ScanMethod, smWinXPSP2);
  EXPECT_TRUE(Loaded.Probe445);
  EXPECT_FALSE(Loaded.WsDiscovery);
  EXPECT_FALSE(Loaded.Mdns);
  ASSERT_EQ(LoadedForm.IPRanges.Count(), 1u);
  EXPECT_EQ(LoadedForm.IPRanges[0].From(), IP("10.0.0.4"));
  EXPECT_EQ(Scan.IPRangeCount(), 1u);
}

TEST_F(OptionsFormTest, CancelLeavesTheSettingsAndTheHiveAsTheyWere) {
  Scan.Filter.AllowedComps = {"\\\\A"};
  Settings.IPRanges.Add(IP("10.0.0.1"), IP("10.0.0.2"), 1);
  SaveSettings(Scan, Settings);
  const std::string Hive = ReadAll(Sandbox.Hive());
  ASSERT_FALSE(Hive.empty());
  const auto Stamp = std::filesystem::last_write_time(Sandbox.Hive());
  Open(
      [&](TfmOptions &F) {
        F.chkClearList->setChecked(true);
        F.chkMP3->setChecked(false);
        F.chkWMA->setChecked(true);
        F.ClearMasks(F.lbAllowedComp);
        F.ClearIP();
        F.rbIPAddress->click();
        F.edtTimeOut->setValue(100);
        F.edtPlayListExt->setText(".pls");
        F.btnCancel->click();
        return F.result();
      },
      TfmOptions::ResourceFilterPage);
  EXPECT_EQ(ReadAll(Sandbox.Hive()), Hive);
  EXPECT_EQ(std::filesystem::last_write_time(Sandbox.Hive()), Stamp);
  EXPECT_FALSE(Scan.IsClearBefor);
  EXPECT_EQ(Scan.Filter.AllowedComps, Strings{"\\\\A"});
  EXPECT_EQ(Settings.IPRanges.Count(), 1u);
  EXPECT_EQ(Settings.PlayListExt, ".m3u");
  // The next open shows the settings again, on the page shown last.
  Open([&](TfmOptions &F) {
    EXPECT_EQ(F.Pages->currentIndex(), TfmOptions::ResourceFilterPage);
    EXPECT_FALSE(F.chkClearList->isChecked());
    EXPECT_TRUE(F.chkMP3->isChecked());
    EXPECT_FALSE(F.chkWMA->isChecked());
    EXPECT_EQ(TfmOptions::Entries(F.lbAllowedComp), Strings{"\\\\A"});
    EXPECT_EQ(TfmOptions::Entries(F.lbIP), Strings{"10.0.0.1 - 10.0.0.2"});
    EXPECT_EQ(F.edtPlayListExt->text(), ".m3u");
    EXPECT_EQ(F.edtTimeOut->value(), 500);
    return int(QDialog::Rejected);
  });
}

TEST_F(OptionsFormTest, F1ShowsTheHelpTopicWhereverTheFocusIs) {
  Strings Topics;
  Form.OnHelp = [&](const std::string &T) { Topics.push_back(T); };
  Form.show();
  Form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Form));
  Form.Pages->setCurrentIndex(TfmOptions::CompFilterPage);
  Form.lbDeniedComp->setFocus();
  QTest::keyClick(Form.lbDeniedComp, Qt::Key_F1);
  Form.Pages->setCurrentIndex(TfmOptions::SearchOptionsPage);
  Form.edtPlayListExt->setFocus();
  QTest::keyClick(Form.edtPlayListExt, Qt::Key_F1);
  EXPECT_EQ(Topics, (Strings{"options.htm", "options.htm"}));
}

// The main window's "Options..." command: the dialog on the page last shown, and on "Ok" the
// settings saved.
TEST(OptionsCommandTest, OptionsCommandOpensTheDialogAndOkSavesTheSettings) {
  sonquarry::testing::TXdgSandbox Sandbox;
  sonquarry::testing::TPromptsScope prompts;
  TMainForm Main{MakeProgramNetwork()};
  ASSERT_TRUE(Command(Main, "actOptions")->isEnabled());
  EXPECT_EQ(Command(Main, "actOptions")->shortcut(), QKeySequence(Qt::Key_F12));
  prompts->Dialogs.push_back([](QDialog &D) {
    auto &F = static_cast<TfmOptions &>(D);
    EXPECT_EQ(F.windowTitle(), "Options");
    F.chkClearList->setChecked(true);
    F.Pages->setCurrentIndex(TfmOptions::CompFilterPage);
    F.btnOK->click();
    return F.result();
  });
  Command(Main, "actOptions")->trigger();
  EXPECT_TRUE(Seam(Main).Scan().IsClearBefor);
  TScanOptions Stored;
  TMainFormSettings StoredForm;
  LoadSettings(Stored, StoredForm, Seam(Main).Scan());
  EXPECT_TRUE(Stored.IsClearBefor);
  EXPECT_FALSE(StoredForm.ScanMethodUnset);
  // Cancelled, it saves nothing; the next open shows the page shown last.
  prompts->Dialogs.push_back([](QDialog &D) {
    EXPECT_EQ(static_cast<TfmOptions &>(D).Pages->currentIndex(), TfmOptions::CompFilterPage);
    return int(QDialog::Rejected);
  });
  EXPECT_FALSE(Seam(Main).ShowOptions());
  EXPECT_EQ(prompts->Records.size(), 2u);
}

} // namespace
} // namespace sonquarry
