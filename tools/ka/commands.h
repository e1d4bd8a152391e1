// The subcommands of the `ka` tool that live in files of their own.
#pragma once

namespace ka::cli {

// ka speak BUNDLE AUDIO --w2v W2V.onnx --out OUT.mp4 [--skip N] [--scale S] [--threads N]
int speak(int argc, char** argv);
// ka live BUNDLE AUDIO --motion DIR --out OUT.mp4 [--realtime] [--interrupt-at SECONDS]
//         [--model KEY] [--threads N] [--tail N]
int live(int argc, char** argv);

}  // namespace ka::cli
