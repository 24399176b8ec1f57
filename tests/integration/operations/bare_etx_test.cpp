// A device that answers with a lone ETX (no STX before it): the wait ends, but no reply frame came.
#include <gtest/gtest.h>

#include "nev/nev.h"
#include "support/helpers.h"
#include "support/pty.h"

namespace nevtest {
namespace {

TEST(OperationsLoneEtx, NoCommandAwaitingAReplyFrameClaimsAnAnswer) {
  PtyPair pty;
  ScriptedPeer peer(pty.master());
  peer.ExpectUntil(0x03).Write("\x15");  // the probe
  for (int i = 0; i < 10; ++i) peer.ExpectUntil(0x03).Write("\x03");
  peer.Start();
  TempDir folder;
  MessageRecorder recorder;
  nev::NEV nev(folder.str());
  ASSERT_TRUE(nev.InitConnection(pty.slave_path(), 9600));
  double total = 1, a = 1, b = 1, c = 1;
  EXPECT_FALSE(nev.OpenServNote());
  EXPECT_FALSE(nev.CloseServNote());
  EXPECT_FALSE(nev.OpenFiscNote("1", ""));
  EXPECT_FALSE(nev.CloseFiscNote());
  EXPECT_FALSE(nev.EJournal());
  EXPECT_EQ(nev.ZDay(), "False");
  EXPECT_FALSE(nev.Pay(1, 1));
  EXPECT_FALSE(nev.AddSum("1", "", 1, 1));
  EXPECT_FALSE(nev.SubTotal(total, a, b, c));
  EXPECT_EQ(nev.GetStatus(), -33);
  EXPECT_TRUE(recorder.Take().empty());
}

}  // namespace
}  // namespace nevtest
