// The single-file import: classify, read metadata, create the entry, upload by kind.
#include "vximport.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "brlog.h"
#include "brthread.h"
#include "hbfile.h"
#include "hbfmtparser.h"
#include "hbimg.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"
#include "hbsvcupload.h"
#include "hbtranscode_ffmpeg.h"
#include "hburl.h"
#include "vxclienttask.h"
#include "vximport_prefetch.h"
#include "vxsvccache.h"
#include "vxuploadrecords.h"

namespace {

constexpr const char *kTag = "IMPORT";

bool canceled(const VXImportContext *ctx) {
  return ctx->canceled && ctx->canceled();
}

void setStep(const VXImportContext *ctx, int32_t step) {
  if (ctx->step) ctx->step->store(step, std::memory_order_relaxed);
}

bool startsWith(const char *text, const char *prefix) {
  return text && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The value of the first argument `name` in a name, value list, or null.
const char *argument(const std::vector<std::string> &args, const char *name) {
  for (size_t i = 0; i + 1 < args.size(); i += 2)
    if (args[i] == name) return args[i + 1].c_str();
  return nullptr;
}

std::vector<const char *> pairList(const std::vector<std::string> &args, size_t count) {
  std::vector<const char *> pairs;
  for (size_t i = 0; i < count && i < args.size(); ++i) pairs.push_back(args[i].c_str());
  pairs.push_back(nullptr);
  return pairs;
}

// A time in milliseconds from the text: leading blanks skipped, up to 20 digits; 0 otherwise.
int64_t readMs(const char *text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  uint64_t v = 0;
  for (int i = 0; i < 20 && text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10 + (text[i] - '0');
  return v > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(v);
}

// "fileid" of the "file" map of the last answer, or empty when it is missing or names no file
// (an answer naming the root would put photos at the top of the drive, and a removal after a
// failed upload would be sent for the root).
std::string answerFileId(HBRPCGeneric *rpc, const char *method) {
  HBRef<HBMap> file = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
  const char *id = file ? file->getString("fileid") : nullptr;
  if (vximport__validFileId(id)) return id;
  brlog(kTag, BRLOG_ERROR, "   \"%s\" answered without a usable file identifier ('%s')\n", method,
        id ? id : "");
  return "";
}

// Allowed difference between the drive's clock and the file's time before a file dated ahead
// counts as one that is being written now.
constexpr int64_t kClockSkewMs = 2000;

// Whether the file was modified less than `windowMs` ago.
bool modifiedWithin(const VXImportFileSignature &sig, int64_t windowMs) {
  const int64_t age = brtime__nowMs() - sig.modifiedNs / 1000000;
  return age > -kClockSkewMs && age < windowMs;
}

// A file modified within the settle time is looked at again once it is that old: a file that
// changed meanwhile is still being written (a camera import, a copy) and waits for a later run.
int32_t settle(const VXImportContext *ctx, const char *path, const VXImportFileSignature &sig) {
  if (!modifiedWithin(sig, VXIMPORT_SETTLE_MS)) return BR_OK;
  const int64_t age = brtime__nowMs() - sig.modifiedNs / 1000000;
  const int64_t until = brtime__ticks() + VXIMPORT_SETTLE_MS - (age > 0 ? age : 0);
  brlog(kTag, BRLOG_VERBOSE, "        Modified %lld ms ago, looking again: '%s'\n",
        static_cast<long long>(age), path);
  for (int64_t now = brtime__ticks(); now < until; now = brtime__ticks()) {
    if (canceled(ctx)) return BR_ECANCELED;
    std::this_thread::sleep_for(std::chrono::milliseconds(until - now < 100 ? until - now : 100));
  }
  VXImportFileSignature again;
  if (vximport__fileSignature(path, &again) < 0) return BR_ENOFILE;
  if (again == sig) return BR_OK;
  brlog(kTag, BRLOG_WARNING, "File still being written, waiting for a later run: '%s'\n", path);
  return BR_EAGAIN;
}

// A picture or video that could not be read while it was modified recently is taken for one
// whose writing paused: -2 (it waits); otherwise `rc` as it is.
int32_t unreadable(const VXImportContext *ctx, const char *path, int32_t rc) {
  if (rc == BR_ENOSPC || rc == BR_ECANCELED || !ctx->signature ||
      !modifiedWithin(*ctx->signature, VXIMPORT_RECENT_MS))
    return rc;
  brlog(kTag, BRLOG_WARNING, "Cannot read a file modified just now (%d), waiting for a later run: '%s'\n",
        rc, path);
  return BR_EAGAIN;
}

// Resolves a folder path on a drive with older firmware into the identifier of its last
// component, creating the components that are missing.
int32_t resolveOldFirmwarePath(const VXImportContext *ctx, HBRPCGeneric *rpc, const char *path,
                               std::string *out) {
  const char *top = ctx->parentId && *ctx->parentId ? ctx->parentId : "0";
  brlog(kTag, BRLOG_INFO, "  -- Older firmware -- getFile(%s, '%s')\n", top, path);
  int32_t rc =
      hbsvc__getFileByName(rpc, ctx->valtoken, ctx->deviceId, ctx->serviceId, top, path, nullptr);
  if (rc >= 0) {
    *out = answerFileId(rpc, "getFile");
    return out->empty() ? BR_ENOENT : BR_OK;
  }
  std::string parent = top;
  const char *p = path;
  while (*p) {
    const char *slash = std::strchr(p, '/');
    const std::string name = slash ? std::string(p, slash - p) : std::string(p);
    p = slash ? slash + 1 : p + std::strlen(p);
    if (name.empty()) continue;
    brlog(kTag, BRLOG_INFO, "  -- Older firmware -- getFile(%s, '%s')\n", parent.c_str(),
          name.c_str());
    rc = hbsvc__getFileByName(rpc, ctx->valtoken, ctx->deviceId, ctx->serviceId, parent.c_str(),
                              name.c_str(), "1");
    if (rc < 0) {
      brlog(kTag, BRLOG_INFO, "  -- Older firmware -- createDirectory(%s, '%s')\n", parent.c_str(),
            name.c_str());
      const char *fields[] = {"type", "1", nullptr};
      rc = hbsvc__createFile(rpc, ctx->valtoken, ctx->deviceId, ctx->serviceId, parent.c_str(),
                             name.c_str(), fields);
    }
    if (rc < 0) return vximport__rpcFailure(rpc, rc);
    parent = answerFileId(rpc, "createFile");
    if (parent.empty()) return BR_ENOENT;
  }
  *out = parent;
  return BR_OK;
}

// A new temporary JPEG of `img`, positioned at its start.
int32_t encodeTemp(HBImg *img, HBRef<IHBStream> *out) {
  HBRef<IHBStream> tmp;
  int32_t rc = hbstream__openTemp(tmp.out(), nullptr);
  if (rc >= 0) rc = hbimg__encodeJpeg(img, tmp.get());
  if (rc >= 0 && tmp->seek(0, HBSTREAM_SEEK_SET) != 0) rc = BR_EIO;
  if (rc < 0) return rc;
  *out = std::move(tmp);
  return BR_OK;
}

// The embedded picture of a music or video file ("yto-tn"), rewound, or null.
HBRef<IHBStream> embeddedPicture(IHBMap *metadata) {
  HBRef<IHBStream> pic;
  if (!metadata || metadata->getAs("yto-tn", HBIFC_STREAM, pic.outv()) < 0 || !pic) return {};
  if (pic->seek(0, HBSTREAM_SEEK_SET) != 0) return {};
  return pic;
}

// The transcoder's progress: logged, and the way a cancel reaches a running child.
class XcodeSink final : public IHBTranscodeEventSink {
 public:
  explicit XcodeSink(const VXImportContext *ctx) : m_ctx(ctx) {}
  int32_t started(IHBTranscode *) override { return 0; }
  int32_t progress(IHBTranscode *, const HBXCodeProgress *p) override {
    brlog(kTag, BRLOG_INFO, "%d of %d\n", p->position, p->duration);
    return canceled(m_ctx) ? BR_ECANCELED : 0;
  }
  int32_t completed(IHBTranscode *) override { return 0; }
  int32_t failed(IHBTranscode *) override { return 0; }

 private:
  const VXImportContext *m_ctx;
};

// Runs the transcoder over `path`; the transcoder is then the stream of its result (its output
// file goes with it).
int32_t transcode(const VXImportContext *ctx, const char *path, const char *mimeType, int32_t box,
                  int32_t crop, HBRef<IHBTranscode> *out) {
  HBXCodeFFMPEGParams params;
  params.mimeType = mimeType;
  params.width = params.height = box;
  params.crop = crop;
  params.quality = "medium";
  params.inputPath = path;
  HBRef<IHBTranscode> xc;
  int32_t rc = HBXCodeFFMPEG__new(&params, nullptr, xc.out());
  XcodeSink sink(ctx);
  if (rc >= 0) rc = xc->transcode(&sink, nullptr);
  if (rc >= 0 && xc->seek(0, HBSTREAM_SEEK_SET) != 0) rc = BR_EIO;
  if (rc < 0) return rc;
  *out = std::move(xc);
  return BR_OK;
}

// A picture that cannot be read is the picture's fault, never the drive's: a decoder's "too
// large" (-12) must not read as No Space to the import walk.
int32_t decodeFailure(int32_t rc) {
  return rc == BR_ENOSPC ? BR_EUNSUPPORTED : rc;
}

// Older firmware takes the original alone when originals are kept.
bool originalOnly(const VXImportContext *ctx) {
  const uint32_t both = IMPORT_FLAG_OLD_FIRMWARE | TASK_FLAG_KEEP_ORIGINAL;
  if ((ctx->flags & both) != both) return false;
  brlog(kTag, BRLOG_INFO, "  -- Older firmware -- skipping transcode...\n");
  return true;
}

// The last step of pictures and videos: without originals the import ends with the failure met
// on the way (if any); with them the original goes up as the main content.
int32_t uploadOriginal(const VXImportContext *ctx, const char *path, const char *fileId,
                       IHBStream *file, int32_t failure) {
  if (!(ctx->flags & TASK_FLAG_KEEP_ORIGINAL)) return failure < 0 ? failure : 0;
  if (file->seek(0, HBSTREAM_SEEK_SET) != 0) return BR_EIO;
  setStep(ctx, TASK_PROGRESS_SENDING_ORIGINAL);
  return vximport__sendStream(ctx, path, fileId, nullptr, file);
}

// The renditions of a picture, made (or taken from those made ahead) before its entry exists,
// so that a picture still being written leaves nothing on the drive. A picture that cannot be
// decoded gives its failure in *failure (the import goes on with the original alone, if kept);
// the result is a failure that ends the import, -2 for a picture still being written.
int32_t imageRenditions(const VXImportContext *ctx, const char *path, IHBStream *file,
                        HBImgRenditions *r, int32_t *failure) {
  *failure = 0;
  if (originalOnly(ctx)) return BR_OK;
  setStep(ctx, TASK_PROGRESS_TRANSCODING);
  const uint32_t which = vximport__renditionsFor(ctx->flags);
  int32_t rc;
  if (!ctx->prefetch || !ctx->signature ||
      !ctx->prefetch->take(path, which, *ctx->signature, r, &rc))
    rc = hbimg__makeRenditions(file, HBIMG_ORIENT_FROM_PICTURE, which, r);
  if (rc >= 0) return BR_OK;
  if (!r->decodeFailed) return rc;
  brlog(kTag, BRLOG_WARNING, "Failed to decode picture (%d %s): '%s'\n", rc, brerror__name(rc),
        path);
  if (unreadable(ctx, path, rc) == BR_EAGAIN) return BR_EAGAIN;
  *failure = decodeFailure(rc);
  return BR_OK;
}

int32_t uploadImage(const VXImportContext *ctx, const char *path, const char *fileId,
                    IHBStream *file, HBImgRenditions *r, int32_t failure) {
  const bool old = ctx->flags & IMPORT_FLAG_OLD_FIRMWARE;
  const bool keep = ctx->flags & TASK_FLAG_KEEP_ORIGINAL;
  if (r->pv) {
    setStep(ctx, TASK_PROGRESS_SENDING_TRANSCODE);
    int32_t rc = vximport__sendStream(ctx, path, fileId, keep ? VXIMPORT_STREAM_PREVIEW : nullptr,
                                      r->pv.get());
    r->pv.reset();
    if (rc < 0) return rc;
    if (old) {
      brlog(kTag, BRLOG_INFO, "  -- Older firmware -- skipping thumbnail...\n");
    } else {
      setStep(ctx, TASK_PROGRESS_SENDING_TRANSCODE);
      rc = vximport__sendStream(ctx, path, fileId, VXIMPORT_STREAM_THUMBNAIL, r->tn.get());
      if (rc < 0) return rc;
    }
  }
  return uploadOriginal(ctx, path, fileId, file, failure);
}

// The thumbnail of a video: its embedded picture fitted into 160 x 160, else a frame made by
// the transcoder.
int32_t videoThumbnail(const VXImportContext *ctx, const char *path, IHBMap *metadata,
                       HBRef<IHBStream> *out) {
  if (HBRef<IHBStream> pic = embeddedPicture(metadata)) {
    HBRef<HBImg> img, thumb;
    int32_t rc = hbimg__decodeStream(img.out(), pic.get());
    if (rc >= 0) rc = hbimg__thumbnail(thumb.out(), img.get(), 160, 160, 0);
    if (rc >= 0) rc = encodeTemp(thumb.get(), out);
    if (rc >= 0) return rc;
    brlog(kTag, BRLOG_WARNING, "Failed to import embedded thumbnail, ignoring: %d\n", rc);
  }
  setStep(ctx, TASK_PROGRESS_TRANSCODING);
  HBRef<IHBTranscode> xc;
  int32_t rc = transcode(ctx, path, "image/jpeg", 160, 1, &xc);
  if (rc >= 0) *out = HBRef<IHBStream>(std::move(xc));
  return rc;
}

int32_t uploadVideo(const VXImportContext *ctx, const char *path, const char *fileId,
                    IHBStream *file, IHBMap *metadata) {
  const bool old = ctx->flags & IMPORT_FLAG_OLD_FIRMWARE;
  const bool keep = ctx->flags & TASK_FLAG_KEEP_ORIGINAL;
  int32_t failure = 0;
  if (!originalOnly(ctx)) {
    if (old) {
      brlog(kTag, BRLOG_INFO, "  -- Older firmware -- skipping thumbnail...\n");
    } else {
      HBRef<IHBStream> tn;
      failure = videoThumbnail(ctx, path, metadata, &tn);
      if (failure < 0 && unreadable(ctx, path, failure) == BR_EAGAIN) return BR_EAGAIN;
      if (failure >= 0) {
        setStep(ctx, TASK_PROGRESS_SENDING_TRANSCODE);
        const int32_t rc =
            vximport__sendStream(ctx, path, fileId, VXIMPORT_STREAM_THUMBNAIL, tn.get());
        if (rc < 0) return rc;
      }
    }
    if (failure >= 0) {
      setStep(ctx, TASK_PROGRESS_TRANSCODING);
      HBRef<IHBTranscode> xc;
      failure = transcode(ctx, path, "video/mp4", 480, 0, &xc);
      if (failure < 0 && unreadable(ctx, path, failure) == BR_EAGAIN) return BR_EAGAIN;
      if (failure >= 0) {
        setStep(ctx, TASK_PROGRESS_SENDING_TRANSCODE);
        const int32_t rc = vximport__sendStream(
            ctx, path, fileId, keep ? VXIMPORT_STREAM_TRANSCODE : nullptr, xc.get());
        if (rc < 0) return rc;
      }
    }
  }
  return uploadOriginal(ctx, path, fileId, file, failure);
}

int32_t uploadAudio(const VXImportContext *ctx, const char *path, const char *fileId,
                    IHBStream *file, IHBMap *metadata) {
  setStep(ctx, TASK_PROGRESS_SENDING_ORIGINAL);
  if (HBRef<IHBStream> pic = embeddedPicture(metadata)) {
    HBImgRenditions r;
    int32_t rc = hbimg__makeRenditions(pic.get(), 1, HBIMG_RENDITION_PV | HBIMG_RENDITION_TN, &r);
    if (rc >= 0) rc = vximport__sendStream(ctx, path, fileId, VXIMPORT_STREAM_PREVIEW, r.pv.get());
    if (rc >= 0)
      rc = vximport__sendStream(ctx, path, fileId, VXIMPORT_STREAM_THUMBNAIL, r.tn.get());
    if (rc < 0)
      brlog(kTag, BRLOG_WARNING, "Failed to import embedded thumbnail, ignoring: %d\n", rc);
  }
  if (file->seek(0, HBSTREAM_SEEK_SET) != 0) return BR_EIO;
  return vximport__sendStream(ctx, path, fileId, nullptr, file);
}

// Whether the kind bits let this media type through ("allowed": no kind bit, or its own).
bool kindAllowed(uint32_t flags, uint32_t bit) {
  return (flags & (TASK_FLAG_AUDIO | TASK_FLAG_IMAGES | TASK_FLAG_VIDEO)) == 0 || (flags & bit);
}

// Parses the file's metadata; the stream is rewound afterwards.
int32_t readMetadata(IHBStream *file, HBRef<IHBMap> *items) {
  HBRef<IHBFormatParser> parser;
  int32_t rc = hbfmtparser__new(parser.out(), file);
  if (rc < 0) return rc;
  rc = parser->parseAll();
  const int32_t got = parser->getItems(items->out());
  parser->releaseSource();
  if (rc == BR_EAGAIN) return rc;
  if (got < 0) items->reset();
  return file->seek(0, HBSTREAM_SEEK_SET) == 0 ? BR_OK : BR_EIO;
}

// Flag 0x80: whether the drive already holds this very file (same name, time and size, with
// its content), under its name or one of the numbered copies the service makes of a name that
// is taken ("NAME (2).EXT" ..., up to the first name that is free). On the way it repairs what
// an import cut off left behind: an entry of this computer without its content is removed, so
// the file takes its name again instead of becoming "NAME (2).EXT" beside a file that never
// opens. Entries of other computers are left as they are; they may be on their way up.
int32_t findExisting(const VXImportContext *ctx, HBRPCGeneric *rpc,
                     const std::vector<std::string> &args, const char *path,
                     const VXImportFileInfo &info, const std::string &continuing) {
  size_t upTo = 0;
  while (upTo + 1 < args.size() && args[upTo] != "filename") upTo += 2;
  if (upTo + 1 >= args.size()) return BR_OK;
  std::vector<std::string> probe(args.begin(), args.begin() + static_cast<ptrdiff_t>(upTo) + 2);
  const std::string name = probe[upTo + 1];
  const bool sized = vximport__declaresSize(ctx->flags, info);
  const std::string origin = hbproperties__computerName();
  for (int k = 1; k <= VXIMPORT_MAX_COPIES; ++k) {
    probe[upTo + 1] = vximport__numberedName(name, k);
    std::vector<const char *> pairs = pairList(probe, probe.size());
    int32_t rc = rpc->callArgs("getFile", 0, nullptr, pairs.data());
    if (rc < 0) {
      // The first free number ends the search (the service numbers from the smallest free one).
      if (k > 1 && rpc->isFault() && rpc->getErrorCode() == HBSVC_ERR_NO_SUCH_FILE) return BR_OK;
      rc = vximport__rpcFailure(rpc, rc);
      return rc == -HBSVC_ERR_OFFLINE || rc == -HBSVC_ERR_NOT_AUTHORIZED ? rc : BR_OK;
    }
    HBRef<HBMap> file = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
    const char *id = file ? file->getString("fileid") : nullptr;
    const char *type = file ? file->getString("type") : nullptr;
    if (!vximport__validFileId(id)) {
      // Never asked about, let alone removed: an answer naming the root or nothing.
      brlog(kTag, BRLOG_ERROR, "   \"getFile\" answered without a usable file identifier ('%s')\n",
            id ? id : "");
      return BR_OK;
    }
    if (type && std::strcmp(type, "0") != 0) continue;
    const std::string fileId = id;
    // The entry an earlier run began to send in pieces: continued, not removed.
    if (fileId == continuing) continue;
    const char *mtime = file->getString("mtime");
    const char *size = file->getString("size");
    const char *from = file->getString("origin");
    const bool same = mtime && std::strtoll(mtime, nullptr, 10) == info.modifiedMs &&
                      (!sized || (size && std::strtoll(size, nullptr, 10) == info.size));
    // The same file must have its whole content there; another version only some content.
    const int32_t stored = vximport__hasContent(ctx, fileId.c_str(), same && sized ? info.size : -1);
    if (stored < 0) return stored;
    if (stored > 0 && same) {
      brlog(kTag, BRLOG_VERBOSE2, "Exact match: '%s' --> %s (%llub, %llu)\n", path, fileId.c_str(),
            static_cast<unsigned long long>(info.modifiedMs),
            static_cast<unsigned long long>(info.size));
      return BR_EEXISTS;
    }
    if (stored > 0) continue;  // another version of the file: kept beside it
    if (!from || origin != from) {
      brlog(kTag, BRLOG_WARNING, "Entry without its content from '%s', left alone: '%s' --> %s\n",
            from ? from : "", probe[upTo + 1].c_str(), fileId.c_str());
      continue;
    }
    brlog(kTag, BRLOG_WARNING, "Entry without its content, removing it: '%s' --> %s\n",
          probe[upTo + 1].c_str(), fileId.c_str());
    rc = hbsvc__removeFile(rpc, ctx->valtoken, ctx->deviceId, ctx->serviceId, fileId.c_str());
    if (rc < 0) return vximport__rpcFailure(rpc, rc);
  }
  return BR_OK;
}

}  // namespace

// ---- Shared pieces ----

std::string vximport__safeName(const char *name) {
  // Names from other systems (a camera's card, an old disk) may hold Latin-1 bytes, which the
  // service refuses; mapped the same way every run, a file keeps its name on the drive.
  std::string out = hbstr__validUTF8(name ? name : "");
  for (char &c : out) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || (c && std::strchr("\"*/:<>?\\|", c))) c = '_';
  }
  constexpr size_t kMaxName = 255;
  if (out.size() > kMaxName) {
    const size_t dot = out.rfind('.');
    const std::string ext =
        dot != std::string::npos && dot > 0 && out.size() - dot <= 16 ? out.substr(dot) : "";
    std::string stem = out.substr(0, out.size() - ext.size());
    stem.resize(brstr__cutUtf8(stem.c_str(), kMaxName - ext.size()));
    out = stem + ext;
  }
  return out;
}

std::string vximport__numberedName(const std::string &name, int k) {
  if (k < 2) return name;
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  return name.substr(0, dot) + " (" + std::to_string(k) + ")" + name.substr(dot);
}

bool vximport__validFileId(const char *id) {
  if (!id || !*id || std::strlen(id) > 255 || std::strcmp(id, ".") == 0 ||
      std::strcmp(id, "..") == 0)
    return false;
  bool root = true;
  for (const char *p = id; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\') return false;
    root = root && c == '0';
  }
  return !root;
}

bool vximport__isCompanion(const char *path, const char *mimeType) {
  if (!path) return false;
  const char *slash = std::strrchr(path, '/');
  const char *name = slash ? slash + 1 : path;
  const char *dot = std::strrchr(name, '.');
  if (!dot || dot == name) return false;
  for (const char *ext : {"xmp", "aae", "thm"})
    if (strcasecmp(dot + 1, ext) == 0) return true;
  if (!startsWith(mimeType, "video/")) return false;
  const std::string stem(path, static_cast<size_t>(dot - path));
  for (const char *ext : {".jpg", ".jpeg", ".heic", ".heif", ".JPG", ".JPEG", ".HEIC", ".HEIF"}) {
    HBFileStat st;
    if (hbfile__stat((stem + ext).c_str(), &st) >= 0 && !st.isDir) return true;
  }
  return false;
}

bool vximport__declaresSize(uint32_t flags, const VXImportFileInfo &file) {
  const char *mime = file.mimeType ? file.mimeType : "application/octet-stream";
  return (flags & TASK_FLAG_KEEP_ORIGINAL) || file.plain ||
         (!startsWith(mime, "image/") && !startsWith(mime, "video/"));
}

std::string vximport__fileKey(const char *path) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  // A rescan asks for the key of every file of a library: the digest is looked up once, not at
  // every call as the one-shot function does.
  static EVP_MD *const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  struct Ctx {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Ctx() { EVP_MD_CTX_free(ctx); }
  };
  thread_local Ctx local;
  const size_t len = path ? std::strlen(path) : 0;
  if (!md || !local.ctx || EVP_DigestInit_ex(local.ctx, md, nullptr) != 1 ||
      EVP_DigestUpdate(local.ctx, path ? path : "", len) != 1 ||
      EVP_DigestFinal_ex(local.ctx, digest, nullptr) != 1)
    SHA1(reinterpret_cast<const unsigned char *>(path ? path : ""), len, digest);
  unsigned char text[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(text, digest, SHA_DIGEST_LENGTH);
  std::string key(reinterpret_cast<char *>(text), static_cast<size_t>(n));
  while (!key.empty() && key.back() == '=') key.pop_back();
  return key;
}

bool vximport__parseVersion(const char *text, uint32_t out[4]) {
  out[0] = out[1] = out[2] = out[3] = 0;
  unsigned v[4];
  int used = 0;
  if (!text || std::sscanf(text, "%u.%u.%u.%u%n", &v[0], &v[1], &v[2], &v[3], &used) != 4 ||
      text[used] != '\0' || text[0] < '0' || text[0] > '9')
    return false;
  for (int i = 0; i < 4; ++i) out[i] = v[i];
  return true;
}

uint32_t vximport__renditionsFor(uint32_t flags) {
  if (!(flags & IMPORT_FLAG_OLD_FIRMWARE)) return HBIMG_RENDITION_PV | HBIMG_RENDITION_TN;
  return flags & TASK_FLAG_KEEP_ORIGINAL ? 0u : uint32_t{HBIMG_RENDITION_PV};
}

bool vximport__olderFirmware(const char *version, bool quiet) {
  uint32_t v[4];
  const bool parsed = vximport__parseVersion(version, v);
  const bool older = v[0] < 3 || (v[0] == 3 && v[1] < 2);
  if (quiet) return older;
  if (!parsed) brlog(kTag, BRLOG_WARNING, "Invalid version string '%s'\n", version ? version : "");
  brlog(kTag, BRLOG_INFO, "Verifying Service Version '%s': [%u.%u.%u.%u]\n", version ? version : "",
        v[0], v[1], v[2], v[3]);
  if (v[0] < 3)
    brlog(kTag, BRLOG_INFO, "  -- Older 2.x or 1.x firmware!\n");
  else if (older)
    brlog(kTag, BRLOG_INFO, "  -- Older 3.x firmware!\n");
  return older;
}

int32_t vximport__serviceURL(const char *deviceId, const char *serviceId, IHBURL **out) {
  if (vxsvccache__getServiceURL(deviceId, serviceId, out) >= 0 && *out) return BR_OK;
  return hbsvc__getServiceURL(out);
}

int32_t vximport__rpcFailure(HBRPCGeneric *rpc, int32_t rc) {
  const int32_t code = rpc && rpc->isFault() ? rpc->getErrorCode() : -1;
  if (code > 0) {
    HBMap *answer = rpc->getResultMap();
    const char *desc = answer ? answer->getString("errorDescription") : nullptr;
    brlog(kTag, BRLOG_ERROR, "   RPC Error Code: %d '%s'\n", code, desc ? desc : "");
    return -code;
  }
  brlog(kTag, BRLOG_ERROR, "   RPC Local Error: %d '%s'\n", rc, brerror__name(rc));
  return rc;
}

void vximport__createArguments(const VXImportContext *ctx, uint32_t flags, const char *parentId,
                               const VXImportFileInfo &file, IHBMap *metadata,
                               std::vector<std::string> *out) {
  std::vector<std::string> &a = *out;
  a.clear();
  auto add = [&](const char *name, std::string value) {
    a.emplace_back(name);
    a.push_back(std::move(value));
  };
  add("valtoken", ctx->valtoken ? ctx->valtoken : "");
  add("deviceid", ctx->deviceId ? ctx->deviceId : "");
  add("serviceid", ctx->serviceId ? ctx->serviceId : "");
  if (parentId) add("parentid", parentId);
  add("filename", file.safeName ? file.safeName : "");
  add("origin", hbproperties__computerName());
  add("type", "0");
  const char *mime = file.mimeType ? file.mimeType : "application/octet-stream";
  const bool video = startsWith(mime, "video/") && !file.plain;
  if (vximport__declaresSize(flags, file)) add("size", std::to_string(file.size));
  add("ctime", std::to_string(file.createdMs));
  add("mtime", std::to_string(file.modifiedMs));
  add("mimetype", mime);
  if (video) add("streamtype", "full");
  bool hadCtime = false, hadOrigtime = false;
  if (metadata) {
    (void)hbmap__forEach(metadata, [&](const char *key, hbtype_t type, void *value) -> int32_t {
      if (type != HBTYPE_TEXT || !value) return 0;
      const char *text = static_cast<const char *>(value);
      if (a.size() / 2 >= VXIMPORT_MAX_ARGUMENTS) {
        brlog(kTag, BRLOG_WARNING, "          TOO-MANY '%s' -> '%s'\n", key, text);
        return 0;
      }
      hadCtime = hadCtime || std::strcmp(key, "ctime") == 0;
      hadOrigtime = hadOrigtime || std::strcmp(key, "origtime") == 0;
      add(key, text);
      return 0;
    });
  }
  if (!hadCtime && a.size() / 2 < VXIMPORT_MAX_ARGUMENTS)
    add("ctime", std::to_string(file.modifiedMs));
  if (!hadOrigtime && a.size() / 2 < VXIMPORT_MAX_ARGUMENTS)
    add("origtime", std::to_string(file.modifiedMs));
}

std::string vximport__oldFirmwarePath(const char *mimeType,
                                      const std::vector<std::string> &arguments, int64_t nowMs) {
  const char *mime = mimeType ? mimeType : "";
  std::string path;
  bool dated = true;
  if (startsWith(mime, "video/")) {
    path = "Videos/";
  } else if (startsWith(mime, "image/")) {
    path = "Photos/";
  } else if (startsWith(mime, "audio/")) {
    dated = false;
    path = "Music/";
    const char *artist = argument(arguments, "albumArtist");
    if (!artist) artist = argument(arguments, "artist");
    if (artist) path += vximport__safeName(artist) + "/";
    if (const char *album = argument(arguments, "album")) path += vximport__safeName(album) + "/";
  } else {
    path = "Documents/";
  }
  if (dated) {
    int64_t ms = 0;
    for (const char *key : {"EXIF-DateTimeOriginal", "origtime", "ctime"})
      if (!ms) ms = readMs(argument(arguments, key));
    if (!ms) ms = readMs(argument(arguments, "mtime"));
    if (!ms) ms = nowMs;
    const time_t secs = static_cast<time_t>(ms / 1000);
    struct tm t;
    char ym[32];
    if (gmtime_r(&secs, &t)) {
      std::snprintf(ym, sizeof ym, "%04d/%02d/", t.tm_year + 1900, t.tm_mon + 1);
      path += ym;
    }
  }
  path.resize(brstr__cutUtf8(path.c_str(), 255));
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// ---- The import ----

int32_t vximport__perform(const VXImportContext *context, const char *pathIn) {
  if (!context || !pathIn || !context->deviceId || !context->serviceId) return BR_EINVAL;
  std::string path = pathIn;
  if (strncasecmp(pathIn, "file://", 7) == 0) {
    HBRef<IHBURL> url;
    if (hburl__parse(url.out(), pathIn) >= 0 && url->getPath()) path = url->getPath();
  }
  HBFileStat st;
  int32_t rc = hbfile__stat(path.c_str(), &st);
  VXImportFileSignature signature;
  if (rc >= 0) rc = vximport__fileSignature(path.c_str(), &signature);
  if (rc < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to stat file: '%s'\n", path.c_str());
    return rc;
  }
  if (st.isDir) {
    brlog(kTag, BRLOG_ERROR, "Directories are traversed above this layer!\n");
    brlog(kTag, BRLOG_ERROR, "  -- in vximport__perform('%s')\n", path.c_str());
    return BR_EINVAL;
  }
  VXImportContext ctx = *context;
  ctx.signature = &signature;
  // A file still being written waits for a later run rather than going up in part.
  if ((rc = settle(&ctx, path.c_str(), signature)) < 0) return rc;
  VXImportFileInfo info;
  info.size = signature.size;
  info.createdMs = st.createTime * 1000;
  info.modifiedMs = signature.modifiedNs / 1000000;

  // 1, 2: the media type and the kind filter.
  setStep(&ctx, TASK_PROGRESS_PARSING);
  const char *mime = hbfile__mimeType(path.c_str());
  info.mimeType = mime;
  // Sidecars and the videos of live photos go with their pictures, as plain files.
  const bool companion = vximport__isCompanion(path.c_str(), mime);
  info.plain = companion;
  if ((ctx.flags & (TASK_FLAG_AUDIO | TASK_FLAG_IMAGES | TASK_FLAG_VIDEO)) &&
      !((ctx.flags & TASK_FLAG_IMAGES) && (startsWith(mime, "image/") || companion)) &&
      !((ctx.flags & TASK_FLAG_VIDEO) && startsWith(mime, "video/")) &&
      !((ctx.flags & TASK_FLAG_AUDIO) && startsWith(mime, "audio/"))) {
    brlog(kTag, BRLOG_INFO, "Skipping '%s' file: '%s'\n", mime, path.c_str());
    return BR_OK;
  }

  // 3: older firmware takes folders by date and cannot take every rendition.
  {
    HBRef<IHBStr> version;
    if (vxsvccache__getServiceVersion(ctx.deviceId, ctx.serviceId, version.out()) >= 0 && version &&
        vximport__olderFirmware(version->getText()))
      ctx.flags |= IMPORT_FLAG_OLD_FIRMWARE;
  }

  // 4-6: open, name, metadata.
  HBRef<IHBStream> file;
  if (hbstream__openFile(file.out(), path.c_str(), HBFILE_O_READ) < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to open file for reading: '%s'\n", path.c_str());
    return BR_ENOFILE;
  }
  ctx.sourceFile = file.get();
  const size_t slash = path.rfind('/');
  const std::string safeName =
      vximport__safeName(path.c_str() + (slash == std::string::npos ? 0 : slash + 1));
  info.safeName = safeName.c_str();
  brlog(kTag, BRLOG_INFO, "        Parsing file: '%s'\n", path.c_str());
  HBRef<IHBMap> metadata;
  rc = readMetadata(file.get(), &metadata);
  if (rc == BR_EAGAIN) return BR_ENOFILE;
  if (rc < 0) return rc;

  // 7: the arguments and the address.
  const bool mirror = (ctx.flags & TASK_FLAG_MIRROR_FOLDERS) && ctx.parentId && *ctx.parentId;
  const bool old = ctx.flags & IMPORT_FLAG_OLD_FIRMWARE;
  std::vector<std::string> args;
  vximport__createArguments(&ctx, ctx.flags,
                            mirror ? ctx.parentId
                            : old  ? ""
                                   : nullptr,
                            info, metadata.get(), &args);
  HBRef<IHBURL> endpoint;
  if (ctx.uploadURL) {
    endpoint = HBRef<IHBURL>::retain(ctx.uploadURL);
  } else if ((rc = vximport__serviceURL(ctx.deviceId, ctx.serviceId, endpoint.out())) < 0) {
    return rc;
  }
  HBRef<HBRPCGeneric> rpc;
  if ((rc = hbrpc__new(endpoint.get(), rpc.out())) < 0) return rc;
  if (old && !mirror) {
    const std::string folder = vximport__oldFirmwarePath(mime, args, brtime__nowMs());
    brlog(kTag, BRLOG_INFO, "  -- Older firmware -- creating path ('%s')\n", folder.c_str());
    std::string parent;
    rc = resolveOldFirmwarePath(&ctx, rpc.get(), folder.c_str(), &parent);
    if (rc < 0) return rc;
    brlog(kTag, BRLOG_INFO, "  -- Older firmware -- created parent id ('%.47s')\n", parent.c_str());
    args[7] = parent;
  }

  // An upload in pieces that an earlier run left: its entry is continued when the file is
  // as it was then and the entry is still there (the content's digest is checked on sending).
  IVXUploadRecords *records = ctx.records;
  const std::string recordKey = records ? vximport__fileKey(path.c_str()) : "";
  std::string continuing;
  VXUploadRecord record;
  if (records && records->find(recordKey.c_str(), &record) == 0) {
    const char *why = nullptr;
    if (record.deviceId != ctx.deviceId || record.serviceId != ctx.serviceId) {
      why = "it was going to another drive";
    } else if (record.fileSize != signature.size || record.modifiedNs != signature.modifiedNs) {
      why = "the file changed since its first piece";
    } else if ((rc = hbsvc__getFile(rpc.get(), ctx.valtoken, ctx.deviceId, ctx.serviceId,
                                    record.fileId.c_str())) < 0) {
      if (!rpc->isFault() || rpc->getErrorCode() != HBSVC_ERR_NO_SUCH_FILE)
        return vximport__rpcFailure(rpc.get(), rc);  // kept for a run that can ask
      why = "its entry is gone";
    } else if (answerFileId(rpc.get(), "getFile") != record.fileId) {
      why = "its entry is gone";
    }
    if (why) {
      brlog(kTag, BRLOG_INFO, "Upload of '%s' starts over: %s\n", path.c_str(), why);
      (void)records->remove(recordKey.c_str());
    } else {
      continuing = record.fileId;
      brlog(kTag, BRLOG_INFO, "Continuing the upload of '%s' into %s (%lld of %lld bytes sent)\n",
            path.c_str(), continuing.c_str(), static_cast<long long>(record.sent),
            static_cast<long long>(record.total));
    }
  }

  // 8: an identical file already there.
  if (ctx.flags & TASK_FLAG_CHECK_EXISTING) {
    rc = findExisting(&ctx, rpc.get(), args, path.c_str(), info, continuing);
    if (rc == BR_EEXISTS && records) (void)records->remove(recordKey.c_str());
    if (rc < 0) return rc;
  }

  // The renditions of a picture come before its entry: one still being written leaves none.
  const bool image =
      !companion && startsWith(mime, "image/") && kindAllowed(ctx.flags, TASK_FLAG_IMAGES);
  HBImgRenditions renditions;
  int32_t unreadablePicture = 0;
  if (image && (rc = imageRenditions(&ctx, path.c_str(), file.get(), &renditions,
                                     &unreadablePicture)) < 0)
    return rc;

  // 9: the entry (or the one being continued).
  std::string fileId = continuing;
  if (fileId.empty()) {
    std::vector<const char *> pairs = pairList(args, args.size());
    rc = rpc->callArgs("createFile", 0, nullptr, pairs.data());
    if (rc < 0) {
      brlog(kTag, BRLOG_ERROR, "Failed to create file via RPC: '%s'\n", path.c_str());
      return vximport__rpcFailure(rpc.get(), rc);
    }
    fileId = answerFileId(rpc.get(), "createFile");
  }
  if (fileId.empty()) {
    brlog(kTag, BRLOG_ERROR, "Failed to create file via RPC: '%s'\n", path.c_str());
    return BR_ENOENT;
  }

  // 10: the content by kind; what did not go up whole is removed again.
  if (image)
    rc = uploadImage(&ctx, path.c_str(), fileId.c_str(), file.get(), &renditions,
                     unreadablePicture);
  else if (!companion && startsWith(mime, "video/") && kindAllowed(ctx.flags, TASK_FLAG_VIDEO))
    rc = uploadVideo(&ctx, path.c_str(), fileId.c_str(), file.get(), metadata.get());
  else if (!companion && startsWith(mime, "audio/") && kindAllowed(ctx.flags, TASK_FLAG_AUDIO))
    rc = uploadAudio(&ctx, path.c_str(), fileId.c_str(), file.get(), metadata.get());
  else {
    setStep(&ctx, TASK_PROGRESS_SENDING_ORIGINAL);
    rc = vximport__sendStream(&ctx, path.c_str(), fileId.c_str(), nullptr, file.get());
  }
  if (rc >= 0) {
    // The content that went up must be the file as it was at the start, not a mix of versions.
    VXImportFileSignature now;
    const int32_t gone = vximport__fileSignature(path.c_str(), &now);
    if (gone < 0 || !(now == signature)) {
      brlog(kTag, BRLOG_WARNING, "File %s during its import: '%s'\n",
            gone < 0 ? "vanished" : "changed", path.c_str());
      rc = gone < 0 ? BR_ENOFILE : BR_EBUSY;
    }
  }
  if (rc < 0 && records && (rc == BR_ECANCELED || hbsvcupload__retryable(rc))) {
    // Cut off or stopped in the middle of pieces: what the service holds waits for the next run.
    VXUploadRecord left;
    if (records->find(recordKey.c_str(), &left) == 0 && left.fileId == fileId) {
      brlog(kTag, BRLOG_WARNING,
            "Failed to send some data to file %s (%d), keeping it for the next run to continue "
            "(%lld of %lld bytes sent)\n",
            fileId.c_str(), rc, static_cast<long long>(left.sent),
            static_cast<long long>(left.total));
      return rc;
    }
  }
  if (rc < 0) {
    if (records) (void)records->remove(recordKey.c_str());
    brlog(kTag, BRLOG_ERROR, "Failed to send some data to file %s (%d), deleting it...\n",
          fileId.c_str(), rc);
    (void)hbsvc__removeFile(rpc.get(), ctx.valtoken, ctx.deviceId, ctx.serviceId, fileId.c_str());
    return rc;
  }
  // A continued entry that went whole some other way (one PUT to a service that stopped taking
  // pieces) must not be taken up again by a later version of the file.
  if (records && (!continuing.empty() || signature.size >= HBSVCUPLOAD_THRESHOLD))
    (void)records->remove(recordKey.c_str());
  return BR_OK;
}
