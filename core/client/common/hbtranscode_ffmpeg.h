// The transcoder: one media file turned into a JPEG thumbnail or a streamable MP4 by the external
// program `ffmpeg` (and, when installed, the probe program `zvxc_probe`), run as child processes.
//
// A transcoder probes its source, settles the output size and encoder options, runs ffmpeg with
// a generated argument list while following its progress, watches for a hung child, rewrites MP4
// output for fast start, and then offers the result as a readable stream. Log tag "HBXCFF".
//
//   HBXCodeFFMPEGParams p = {"video/mp4", 480, 480, 0, "medium", "/pics/clip.mov"};
//   HBRef<IHBTranscode> xc;
//   HB_RETURN_IF_FAILED("IMPORT", HBXCodeFFMPEG__new(&p, nullptr, xc.out()));
//   int32_t rc = xc->transcode(&sink, uploadStream);
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hbmap.h"
#include "hbstream.h"

// Request parameters; the texts are copied at construction.
struct HBXCodeFFMPEGParams {
  const char *mimeType = nullptr;       // "image/jpeg" or "video/mp4"
  int32_t width = 0, height = 0;        // requested output size; 0 = decide
  int32_t crop = 0;                     // non-zero: crop the source to a centred square
  const char *quality = nullptr;        // preset word; null means "low"
  const char *inputPath = nullptr;      // the source file; null: the source stream
  const char *workDir = nullptr;        // where the output is made; null: "datadir", else TMPDIR
  const char *durationLimit = nullptr;  // seconds of output ("-t"); null or "0": everything
};

// A progress report: pass (1) of passes (1), duration and position in seconds.
struct HBXCodeProgress {
  int32_t pass;
  int32_t passes;
  int32_t duration;
  int32_t position;
};

struct IHBTranscode;

// Told about one transcode. Not reference counted: it must outlive the transcode call.
struct IHBTranscodeEventSink {
  virtual int32_t started(IHBTranscode *xcode) = 0;
  // A non-zero result ends the transcode with it; -18 cancels it.
  virtual int32_t progress(IHBTranscode *xcode, const HBXCodeProgress *record) = 0;
  virtual int32_t completed(IHBTranscode *xcode) = 0;
  virtual int32_t failed(IHBTranscode *xcode) = 0;

 protected:
  ~IHBTranscodeEventSink() = default;
};

typedef int32_t (*HBTranscodeCreateFn)(const HBXCodeFFMPEGParams *params, IHBStream *source,
                                       IHBTranscode **out);

// A transcoder is also the stream of its result (readable once `transcode` succeeded).
struct IHBTranscode : IHBStream {
  static constexpr int32_t kIfc = HBIFC_XCODE;
  // "url" (output path), "mimetype", "size" (final, or an estimate before), "width", "height".
  // Copies the text into `buffer` (cut, always terminated). Returns 0; -2 when not yet known;
  // -3 for another name.
  HB_NODISCARD virtual int32_t getOutputProperty(const char *name, char *buffer, int32_t size) = 0;
  // Finds the programs, makes the output path, probes the source and settles the output size.
  // Done once; later calls return the first result.
  HB_NODISCARD virtual int32_t prepare() = 0;
  // Runs the transcode on this thread. `sink` and `output` (both borrowed) may be null; with an
  // output stream the whole result is copied into it. Returns 0 or a negative code: -3 no
  // ffmpeg, -6 no source size, -15 ffmpeg failed, -18 cancelled, -11 a hung child.
  HB_NODISCARD virtual int32_t transcode(IHBTranscodeEventSink *sink, IHBStream *output) = 0;
  // Cancels from any thread: kills a running child; every later step returns -18.
  virtual int32_t cancel() = 0;
  // The function that creates transcoders of this kind.
  virtual HBTranscodeCreateFn creator() = 0;
};

struct IHBTranscodeImpl : IHBTranscode {
  static constexpr int32_t kIfc = HBIFC_XCODE2;
};

// Creates a transcoder (not yet prepared). `source` (one reference taken, may be null) is fed to
// the standard input of each child (the probe program, then ffmpeg), from its start each time,
// when the parameters name no input path. Reads the setting "accelmpeg".
// Hands one reference to the caller in *out. Returns 0, or -6 without a mime type.
HB_NODISCARD int32_t HBXCodeFFMPEG__new(const HBXCodeFFMPEGParams *params, IHBStream *source,
                                        IHBTranscode **out);

// Source information bits.
enum : uint32_t {
  HBXC_SRC_RESOLUTION = 0x01,
  HBXC_SRC_DURATION = 0x02,
  HBXC_SRC_BITRATE = 0x04,
  HBXC_SRC_SAMPLERATE = 0x08,
  HBXC_SRC_CHANNELS = 0x10,
  HBXC_SRC_FRAMERATE = 0x20,
  HBXC_SRC_PREPARED = 0x1000,
};

// What probing learnt about the source.
struct HBXCodeSourceInfo {
  uint32_t bits = 0;
  int32_t width = 0, height = 0;
  int32_t duration = 0;  // seconds
  int32_t bitRate = 0;   // bits per second
  int32_t frameRate = 0;
  int32_t sampleRate = 0;
  int32_t channels = 0;
  std::string format, videoCodec, audioCodec;
};

// Takes what one line of ffmpeg's "-i" output tells about the source into `info` (each value
// only the first time).
void hbxcode__parseFormatLine(HBXCodeSourceInfo *info, const char *line);

// Reads the progress position from a line holding "time=" ("12.34" or "00:00:12.34"). Returns
// true with the whole seconds and hundredths.
bool hbxcode__parseTime(const char *line, int32_t *seconds, int32_t *fraction);

// What the argument translation needs to know beyond the list itself.
struct HBXCodeTranslateContext {
  std::string videoCodec;  // the source's, for "-lowres" support
  int32_t outWidth = 0, outHeight = 0;
};

// Rewrites an argument list into options the installed ffmpeg accepts: "-lowres" only for
// decoders that support it, "-cropleft"/"-cropright"/"-croptop"/"-cropbottom" and "-s" as one
// "crop=…,scale=…" video filter, "-b" as "-b:v", an "-fpre" preset file as the options it holds
// that are still current, and a yuv420p output for libx264.
void hbxcode__translateArguments(const std::vector<std::string> &in,
                                 const HBXCodeTranslateContext &context,
                                 std::vector<std::string> *out);

// Test hooks: the watchdogs (600 s without output or without a change of the output file) and
// the exit rule (10 s for a child to end after its output ended). Values <= 0 restore them.
void hbxcode__setTimeoutsForTest(int64_t watchdogMs, int32_t exitWaitMs);

class HBXCodeFFMPEG : public HBObject<HBXCodeFFMPEG, IHBTranscodeImpl> {
 public:
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

  HB_NODISCARD int32_t read(void *buffer, int32_t length) override;
  HB_NODISCARD int32_t write(const void *buffer, int32_t length) override;
  int64_t seek(int64_t offset, int32_t whence) override;
  int32_t flush() override;
  int32_t close() override;

  HB_NODISCARD int32_t getOutputProperty(const char *name, char *buffer, int32_t size) override;
  HB_NODISCARD int32_t prepare() override;
  HB_NODISCARD int32_t transcode(IHBTranscodeEventSink *sink, IHBStream *output) override;
  int32_t cancel() override;
  HBTranscodeCreateFn creator() override;

  // The transcode argument list as designed, before translation (valid after prepare).
  void transcodeArguments(std::vector<std::string> *out) const;
  const HBXCodeSourceInfo &source() const { return m_src; }
  int32_t outputWidth() const { return m_outWidth; }
  int32_t outputHeight() const { return m_outHeight; }
  const std::string &ffmpegPath() const { return m_ffmpegPath; }
  const std::string &probePath() const { return m_probePath; }
  const std::string &presetPath() const { return m_presetPath; }
  const std::string &outputPath() const { return m_outputPath; }

 protected:
  HBXCodeFFMPEG(const HBXCodeFFMPEGParams &params, IHBStream *source);
  ~HBXCodeFFMPEG() override;

  // Which of the child's outputs the parent follows: ffmpeg talks on standard error, the probe
  // program on standard output.
  enum class ChildOutput { kStderr, kStdout };

  // Platform part. Starts `args` reading the child's output `which`; with `input` (borrowed)
  // the child's standard input is fed from it. Hands one reference to that output stream to the
  // caller in *out.
  HB_NODISCARD virtual int32_t osForkFFMPEG(const std::vector<std::string> &args, IHBStream *input,
                                            ChildOutput which, IHBStream **out) = 0;
  virtual int32_t osKillFFMPEG() = 0;
  // -11 while the child runs; 0 once it ended (exit code in *exitCode), -18 when it was killed.
  // Called under the lock; an ended child's input feeder is left to osEndFeed.
  HB_NODISCARD virtual int32_t osWaitFFMPEG(int32_t *exitCode) = 0;
  // After the child ended: waits for its input feeder and releases the child. Called without the
  // lock, so that a feeder hanging in a source read never holds up a cancel.
  virtual void osEndFeed() = 0;

 private:
  struct ParseState;

  HB_NODISCARD int32_t findPrograms();
  HB_NODISCARD int32_t makeOutputPath();
  HB_NODISCARD int32_t probeWithProbe();
  HB_NODISCARD int32_t doFormatFFMPEG();
  HB_NODISCARD int32_t settleOutputSize();
  HB_NODISCARD int32_t doTranscodeFFMPEG(IHBTranscodeEventSink *sink);
  HB_NODISCARD int32_t parseOutput(IHBStream *stream, ParseState *state);
  HB_NODISCARD int32_t parseProgressLine(ParseState *state, const char *line);
  // The three children: the probe program, ffmpeg's "-i" run and the transcode itself (whose
  // arguments are translated for the installed ffmpeg).
  enum class Step { kProbe, kFormat, kTranscode };
  HB_NODISCARD int32_t forkFFMPEG(const std::vector<std::string> &args, Step step, IHBStream **out);
  HB_NODISCARD int32_t waitFFMPEG(int32_t ms, int32_t *exitCode);
  // waitFFMPEG for `ms`, then, for a child still running, the kill (logged for `step` when
  // given) and a wait that the kill ends.
  HB_NODISCARD int32_t waitOrKillFFMPEG(int32_t ms, int32_t *exitCode, const char *step);
  void fastStart();
  void removeOutputs();
  bool cancelled();
  IHBStream *feedStream();

  // Parameters.
  std::string m_mimeType;
  int32_t m_reqWidth, m_reqHeight, m_crop;
  std::string m_quality;
  bool m_hasInput;
  std::string m_inputPath;
  bool m_hasWorkDir;
  std::string m_workDir;
  uint32_t m_durationLimit = 0;

  HBRef<IHBStream> m_source;
  std::string m_outputPath, m_ffmpegPath, m_presetPath, m_probePath;
  int32_t m_prepared = 1;  // 1: not yet
  bool m_programsFound = false;
  HBXCodeSourceInfo m_src;
  int32_t m_targetBitRate = 0;
  int32_t m_lowres = 0;
  int32_t m_cropLeft = 0, m_cropTop = 0, m_cropRight = 0, m_cropBottom = 0;
  int32_t m_outWidth = 0, m_outHeight = 0;
  int64_t m_finalSize = -1;
  bool m_accelMpeg = false;
  bool m_sourceUsed = false;

  std::mutex m_lock;  // guards the running and cancelled flags and the platform child
  bool m_running = false;
  std::atomic<bool> m_cancelled{false};
  HBRef<IHBStream> m_result;
};

// The POSIX platform part: the child through IHBFork2, its input fed from a thread.
HB_NODISCARD int32_t HBXCodeFFMPEGPosix__new(const HBXCodeFFMPEGParams *params, IHBStream *source,
                                             IHBTranscode **out);
