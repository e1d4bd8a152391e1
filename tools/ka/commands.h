// The subcommands of the `ka` tool that live in files of their own.
#pragma once

namespace ka::cli {

// ka speak BUNDLE AUDIO --w2v W2V.onnx --out OUT.mp4 [--skip N] [--scale S] [--threads N]
int speak(int argc, char** argv);
// ka encode AUDIO --size WxH --out OUT.mp4 [--skip N]: writes AUDIO's 16 kHz mono samples to
// standard output (a line "samples N", then N float32 in the machine's order), then reads RGB24
// W x H frames from standard input until it closes and writes them with their audio as `ka speak`
// does. An output without every frame of the audio is removed.
int encode(int argc, char** argv);
// ka live BUNDLE AUDIO --motion DIR --out OUT.mp4 [--realtime] [--interrupt-at SECONDS]
//         [--model KEY] [--threads N] [--tail N]
int live(int argc, char** argv);

}  // namespace ka::cli
