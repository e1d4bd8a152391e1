// The render loop's decisions on their own, without threads or models: what the loop is told to do
// for each state of an utterance, checked against what the frames must show.
#include <gtest/gtest.h>

#include <vector>

#include "base/units.h"
#include "session/director.h"

namespace {

using ka::Director;
using ka::EngineReply;
using Step = Director::Step;
constexpr int kKp = ka::kKeypointValues;
constexpr int kFrames = 6;

// Six source frames whose target row i holds the value i everywhere.
Director::Options options(bool hybrid) {
  Director::Options o;
  o.frames = kFrames;
  for (int i = 0; i < kFrames; ++i) o.target.insert(o.target.end(), kKp, static_cast<float>(i));
  o.hybrid = hybrid;
  return o;
}

Director::View view(double now, int queued = 0, int batch = 0) {
  Director::View v;
  v.nowMs = now;
  v.engineReady = true;
  v.queued = queued;
  v.batch = batch;
  return v;
}

// `rows` rows for source frames from `first` on, driven at `value`; the engine holds `held` more
// and gives `total` in all (-1: unknown yet).
EngineReply reply(int rows, int first, float value, int held, int total) {
  EngineReply r;
  r.pulled = rows;
  r.enginePending = held;
  r.total = total;
  for (int j = 0; j < rows; ++j) r.idx.push_back((first + j) % kFrames);
  r.base.assign(static_cast<size_t>(rows) * kKp, 0.0f);
  r.drive.assign(static_cast<size_t>(rows) * kKp, value);
  return r;
}

// One frame of audio pushed at `now`.
void hear(Director& d, double now, bool end = false) {
  std::vector<float> a(ka::kFrameSamples, 0.1f);
  d.receive(a, now, end, now, false, now);
}

// Runs the loop's steps until one that is not `skip`.
Director::Action until(Director& d, const Director::View& v, Step skip) {
  Director::Action a = d.next(v);
  for (int i = 0; i < 100 && a.step == skip; ++i) a = d.next(v);
  return a;
}

TEST(Director, IdleFramesWalkAndWaitForTheHost) {
  Director d(options(false));
  for (int i = 0; i < 2 * kFrames + 1; ++i) {
    const Director::Action a = d.next(view(0, 0));
    ASSERT_EQ(a.step, Step::Idle);
    EXPECT_EQ(a.frame, i % kFrames);
    EXPECT_EQ(a.pose[0], static_cast<float>(i % kFrames));
  }
  const Director::Action w = d.next(view(0, 1));  // one frame waits: nothing until an event
  EXPECT_EQ(w.step, Step::Wait);
  EXPECT_LT(w.deadlineMs, 0.0);
  EXPECT_EQ(d.mode(), Director::Mode::Idle);
}

TEST(Director, EagerHysteresisBoundaries) {
  Director d(options(true));
  EXPECT_EQ(d.eager(), 3);
  const int buffered[] = {23, 24, 23, 12, 11, 12, 24};
  const int expect[] = {3, 24, 24, 24, 3, 3, 24};
  for (int i = 0; i < 7; ++i) {
    d.next(view(0, buffered[i]));
    EXPECT_EQ(d.eager(), expect[i]) << "with " << buffered[i] << " frames buffered";
  }
  // The engine hears of a change once: the next request carries 24, the one after it 0.
  hear(d, 0);
  ASSERT_EQ(until(d, view(0, 30), Step::Idle).step, Step::Post);
  EXPECT_EQ(d.takeRequest().eager, 24);
  d.collect(reply(0, 0, 0, 0, -1), 0);
  hear(d, 1);
  ASSERT_EQ(d.next(view(1, 30)).step, Step::Post);
  EXPECT_EQ(d.takeRequest().eager, 0);
}

// Speech of `rows` rows driven at 100 from source frame 2, ended, rendered one row at a time.
void speakAndEnd(Director& d, int rows) {
  hear(d, 0, true);
  ASSERT_EQ(d.next(view(0)).step, Step::Post);
  const ka::EngineRequest r = d.takeRequest();
  EXPECT_TRUE(r.reset && r.finish);
  EXPECT_EQ(r.wanted, Director::kPendingRows);
  d.collect(reply(rows, 2, 100.0f, 0, rows), 1);
  for (int j = 0; j < rows; ++j) {
    const Director::Action a = d.next(view(1));
    ASSERT_EQ(a.step, Step::Speech);
    EXPECT_EQ(a.count, 1);
    EXPECT_EQ(a.firstNo, j);
    EXPECT_EQ(a.index[0], (2 + j) % kFrames);
  }
}

TEST(Director, EndRampWeightsTheOffsetDownToZero) {
  Director d(options(false));
  speakAndEnd(d, 3);  // last speech: source frame 4 at pose 100, so the offset is 96
  for (int j = 0; j < 6; ++j) {
    const Director::Action a = d.next(view(1));
    ASSERT_EQ(a.step, Step::Ramp);
    const int at = (5 + j) % kFrames;
    EXPECT_EQ(a.frame, at);
    EXPECT_FLOAT_EQ(a.pose[7], static_cast<float>(at) + 96.0f * static_cast<float>(5 - j) / 6.0f);
    EXPECT_EQ(d.mode(), j < 5 ? Director::Mode::Ramping : Director::Mode::Idle);
  }
  EXPECT_EQ(d.next(view(1)).step, Step::Idle);
}

TEST(Director, InterruptRampsAfterSpeechAndWalksOnAfterIdle) {
  Director d(options(false));
  speakAndEnd(d, 3);
  ka::Pose shown;
  shown.fill(50.0f);
  d.interrupted(1, KA_UTT_SPEECH, 3, shown);  // the host last took speech at source frame 3
  EXPECT_EQ(d.generation(), 1u);
  for (int j = 0; j < 4; ++j) {
    const Director::Action a = d.next(view(1));
    ASSERT_EQ(a.step, Step::Ramp);
    EXPECT_EQ(a.gen, 1u);
    const int at = (4 + j) % kFrames;
    EXPECT_EQ(a.frame, at);
    EXPECT_FLOAT_EQ(a.pose[0], static_cast<float>(at) + 47.0f * static_cast<float>(3 - j) / 4.0f);
  }
  d.interrupted(2, KA_UTT_IDLE, 5, shown);
  const Director::Action a = d.next(view(1));
  EXPECT_EQ(a.step, Step::Idle);
  EXPECT_EQ(a.frame, 0);
}

TEST(Director, SilenceEndsTheUtteranceAtItsDeadline) {
  Director d(options(false));
  hear(d, 1000);
  Director::View v = view(1000, 1);
  v.engineReady = false;  // nothing posted: only the silence timeout is ahead
  Director::Action a = d.next(v);
  ASSERT_EQ(a.step, Step::Wait);
  EXPECT_DOUBLE_EQ(a.deadlineMs, 1600.0);
  v.nowMs = 1599.9;
  d.next(v);
  EXPECT_TRUE(d.takesAudio());
  v.nowMs = 1600.0;
  d.next(v);
  EXPECT_FALSE(d.takesAudio());  // ending: later audio waits for the next utterance
}

TEST(Director, RequestsGoOnlyWhenTheEngineHasSomethingToSay) {
  Director d(options(true));
  hear(d, 0);
  ASSERT_EQ(d.next(view(0)).step, Step::Post);
  d.takeRequest();
  EXPECT_NE(d.next(view(0)).step, Step::Post);  // one request at a time
  d.collect(reply(8, 0, 1.0f, 0, -1), 0);       // 8 rows pending: enough
  EXPECT_NE(d.next(view(0, 8)).step, Step::Post);
  EXPECT_EQ(until(d, view(0), Step::Idle).step, Step::Speech);  // 7 pending now
  ASSERT_EQ(d.next(view(0, 8)).step, Step::Post);
  EXPECT_EQ(d.takeRequest().wanted, Director::kPendingRows - 7);
  d.collect(reply(0, 0, 1.0f, 0, -1), 5);  // a dry engine is asked again 10 ms after its answer
  Director::Action a = d.next(view(6, 8));
  ASSERT_EQ(a.step, Step::Wait);
  EXPECT_DOUBLE_EQ(a.deadlineMs, 15.0);
  ASSERT_EQ(d.next(view(15, 8)).step, Step::Post);
  d.takeRequest();
  d.collect(reply(0, 0, 1.0f, 0, 8), 16);  // all 8 delivered: nothing more to ask
  a = d.next(view(100, 8));
  EXPECT_EQ(a.step, Step::Wait);
  EXPECT_DOUBLE_EQ(a.deadlineMs, 600.0) << "asleep until the silence timeout, not asked again at once";
  hear(d, 100);  // but new audio goes at once
  EXPECT_EQ(d.next(view(100, 8)).step, Step::Post);
}

TEST(Director, SpeechBatchFillsTheChunkOrGoesRowByRow) {
  Director d(options(true));
  hear(d, 0);
  ASSERT_EQ(d.next(view(0, 0, 24)).step, Step::Post);
  d.takeRequest();
  d.collect(reply(30, 0, 1.0f, 0, -1), 0);
  ASSERT_EQ(until(d, view(0, 0, 24), Step::Idle).step, Step::Post);  // 30 buffered: eager 24
  EXPECT_EQ(d.takeRequest().eager, 24);
  Director::Action a = d.next(view(0, 0, 24));
  ASSERT_EQ(a.step, Step::Speech);
  EXPECT_EQ(a.count, 24);
  a = d.next(view(0, 0, 24));
  ASSERT_EQ(a.step, Step::Speech) << "6 pending and nothing known owed: row by row";
  EXPECT_EQ(a.count, 1);
  d.collect(reply(0, 0, 1.0f, 30, -1), 1);  // the engine holds 30 more
  ASSERT_EQ(d.next(view(1, 0, 24)).step, Step::Post);
  d.takeRequest();
  EXPECT_EQ(d.next(view(1, 0, 24)).step, Step::Wait) << "5 pending and 30 owed: the chunk fills first";
}

}  // namespace
