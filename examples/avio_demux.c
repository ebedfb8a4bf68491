/* httpmedia-demux: a player's demuxer reading a URL through the httpmedia
 * plug-in.
 *
 * The plug-in is loaded with dlopen() as a player loads it, and FFmpeg's
 * libavformat reads the stream through a custom I/O context whose read and
 * seek callbacks are the plug-in's InputMediaRead and InputMediaSeek. The
 * program prints the container, its duration and streams, then demuxes every
 * packet and prints a count and a CRC-32 over them (with --packets, one line
 * per packet). Given --file instead of a URL it opens the file with
 * libavformat's own file protocol, so the two outputs can be compared: a
 * demuxer must see the same packets whichever way the bytes come.
 *
 *   httpmedia-demux [--plugin=PATH] [--packets] URL
 *   httpmedia-demux --file [--packets] FILE
 *
 * Exit status: 0 all packets were read; 1 the plug-in or the input could not
 * be opened; 2 demuxing failed; 64 the command line is wrong.
 *
 * Built against an installed httpmedia (the Debian package, or a
 * `cmake --install` prefix whose lib/pkgconfig is on PKG_CONFIG_PATH), with
 * libavformat-dev, the plug-in's installed path compiled in:
 *
 *   cc $(pkg-config --cflags httpmedia libavformat libavcodec libavutil) \
 *     -DHTTPMEDIA_DEMUX_PLUGIN="\"$(pkg-config --variable=plugin httpmedia)\"" \
 *     avio_demux.c -o httpmedia-demux \
 *     $(pkg-config --libs libavformat libavcodec libavutil) -ldl
 */
#include <dlfcn.h>
#include <errno.h>
#include <inttypes.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "httpmedia/httpmedia.h"
#include "httpmedia/httpmedia_host.h"

#ifndef HTTPMEDIA_DEMUX_PLUGIN
#define HTTPMEDIA_DEMUX_PLUGIN "libhttpmedia.so"
#endif

enum { EXIT_OPEN_FAILED = 1, EXIT_DEMUX_FAILED = 2, EXIT_USAGE = 64 };

/* The four functions a player looks up, and the open stream's length. */
struct plugin {
  void* library;
  int32_t(HTTPMEDIA_CALL* open)(const HttpMediaChar* url);
  int32_t(HTTPMEDIA_CALL* read)(void* buffer, int32_t count);
  int32_t(HTTPMEDIA_CALL* seek)(int32_t offset, int32_t origin);
  int32_t(HTTPMEDIA_CALL* close)(void);
  int64_t length; /* -1: the server gave none */
  /* Why the last call ended as it did; null where the library lacks it. */
  int (*last_outcome)(HttpMediaOutcome* outcome);
};

/* The outcome query lives in the system-services library the plug-in
 * brought in, reached without loading it anew. */
static void find_outcome_query(struct plugin* plugin) {
  void* services = dlopen("libhttpmedia_sys.so", RTLD_NOW | RTLD_NOLOAD);
  if (services == NULL) return;
  *(void**)&plugin->last_outcome = dlsym(services, "HttpMediaLastOutcome");
  dlclose(services); /* the plug-in keeps its own reference */
}

/* The outcome of the plug-in's last call, its text in *why. */
static int last_outcome(const struct plugin* plugin, HttpMediaOutcome* why) {
  if (plugin->last_outcome == NULL) {
    why->kind = HTTPMEDIA_OUTCOME_FAILED;
    snprintf(why->text, sizeof why->text, "the plug-in does not say why");
    return why->kind;
  }
  return plugin->last_outcome(why);
}

static int load_plugin(struct plugin* plugin, const char* path) {
  /* RTLD_LOCAL: a player may hold several plug-ins exporting the same names. */
  plugin->library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (plugin->library == NULL) {
    fprintf(stderr, "httpmedia-demux: %s\n", dlerror());
    return 0;
  }
  *(void**)&plugin->open = dlsym(plugin->library, "InputMediaOpen");
  *(void**)&plugin->read = dlsym(plugin->library, "InputMediaRead");
  *(void**)&plugin->seek = dlsym(plugin->library, "InputMediaSeek");
  *(void**)&plugin->close = dlsym(plugin->library, "InputMediaClose");
  if (!plugin->open || !plugin->read || !plugin->seek || !plugin->close) {
    fprintf(stderr, "httpmedia-demux: %s lacks the plug-in's functions\n", path);
    dlclose(plugin->library);
    return 0;
  }
  find_outcome_query(plugin);
  return 1;
}

/* The plug-in takes a NUL-terminated UTF-16 URL; argv holds UTF-8. Returns
 * NULL for text that is not UTF-8. */
static HttpMediaChar* utf16_from_utf8(const char* text) {
  const size_t size = strlen(text);
  HttpMediaChar* out = malloc((size + 1) * sizeof *out);
  size_t n = 0;
  if (out == NULL) return NULL;
  for (size_t i = 0; i < size;) {
    const unsigned char lead = (unsigned char)text[i];
    const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    if (extra < 0 || lead > 0xF4 || i + (size_t)extra >= size) goto bad;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char next = (unsigned char)text[i + (size_t)k];
      if ((next & 0xC0) != 0x80) goto bad;
      code = code << 6 | (next & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      goto bad;
    }
    if (code >= 0x10000) {
      out[n++] = (HttpMediaChar)(0xD800 + ((code - 0x10000) >> 10));
      out[n++] = (HttpMediaChar)(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out[n++] = (HttpMediaChar)code;
    }
    i += (size_t)extra + 1;
  }
  out[n] = 0;
  return out;
bad:
  free(out);
  return NULL;
}

/* libavformat's read callback. A read of 0 ends the stream only when the
 * plug-in says it reached the end; anything else (a connection cut and not
 * rejoined, a 20-second wait for the download that ran out, bytes the ring no
 * longer holds) the demuxer must hear as an error rather than as a file that
 * ends there. Where the query is missing, a read short of the length is. */
static int read_packet(void* opaque, uint8_t* buffer, int size) {
  const struct plugin* plugin = opaque;
  const int32_t got = plugin->read(buffer, size);
  HttpMediaOutcome why;
  if (got > 0) return got;
  if (plugin->last_outcome == NULL) {
    if (plugin->length >= 0 && plugin->seek(0, 1) < plugin->length) return AVERROR(EIO);
    return AVERROR_EOF;
  }
  if (last_outcome(plugin, &why) == HTTPMEDIA_OUTCOME_ENDED) return AVERROR_EOF;
  fprintf(stderr, "httpmedia-demux: the stream stopped: %s\n", why.text);
  return AVERROR(EIO);
}

/* libavformat's seek callback. AVSEEK_SIZE asks for the stream's size, which
 * only a real Content-Length gives; the stand-in length means "unknown", and
 * so does a seek from the end. Positions are signed 32-bit in the plug-in. */
static int64_t seek_stream(void* opaque, int64_t offset, int whence) {
  const struct plugin* plugin = opaque;
  int64_t target;
  if (whence & AVSEEK_SIZE) return plugin->length >= 0 ? plugin->length : AVERROR(ENOSYS);
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      target = plugin->seek(0, 1) + offset;
      break;
    case SEEK_END:
      if (plugin->length < 0) return AVERROR(ENOSYS);
      target = plugin->length + offset;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (target < 0 || target > INT32_MAX) return AVERROR(EINVAL);
  if (plugin->seek((int32_t)target, 0) != 0) return AVERROR(EIO);
  return target;
}

static void print_streams(const AVFormatContext* format, int64_t size) {
  printf("container: %s (%s)\n", format->iformat->name, format->iformat->long_name);
  if (size >= 0) {
    printf("size: %" PRId64 " bytes\n", size);
  } else {
    printf("size: unknown\n");
  }
  if (format->duration != AV_NOPTS_VALUE) {
    printf("duration: %.3f s\n", (double)format->duration / AV_TIME_BASE);
  } else {
    printf("duration: unknown\n");
  }
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* codec = format->streams[i]->codecpar;
    const char* kind = av_get_media_type_string(codec->codec_type);
    printf("stream %u: %s %s", i, kind ? kind : "unknown", avcodec_get_name(codec->codec_id));
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
      printf(" %dx%d", codec->width, codec->height);
    } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
      printf(" %d Hz, %d channels", codec->sample_rate, codec->ch_layout.nb_channels);
    }
    printf("\n");
  }
}

/* Reads every packet; each one's stream, timestamps, flags and bytes go
 * into one CRC-32, so that two runs agree only on identical packets. */
static int demux(AVFormatContext* format, int list_packets) {
  const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE_LE);
  AVPacket* packet = av_packet_alloc();
  uint32_t crc = 0;
  int64_t count = 0, bytes = 0;
  int result;
  if (packet == NULL) return AVERROR(ENOMEM);
  while ((result = av_read_frame(format, packet)) >= 0) {
    const int64_t fields[5] = {packet->stream_index, packet->pts, packet->dts, packet->size,
                               packet->flags};
    const uint32_t data_crc = av_crc(table, 0, packet->data, (size_t)packet->size);
    crc = av_crc(table, crc, (const uint8_t*)fields, sizeof fields);
    crc = av_crc(table, crc, packet->data, (size_t)packet->size);
    if (list_packets) {
      printf("packet %" PRId64 ": stream %d pts %" PRId64 " dts %" PRId64
             " size %d%s crc32 %08" PRIx32 "\n",
             count, packet->stream_index, packet->pts, packet->dts, packet->size,
             (packet->flags & AV_PKT_FLAG_KEY) ? " key" : "", data_crc);
    }
    ++count;
    bytes += packet->size;
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  printf("packets: %" PRId64 ", %" PRId64 " bytes, crc32 %08" PRIx32 "\n", count, bytes, crc);
  return result == AVERROR_EOF ? 0 : result;
}

static int usage(void) {
  fprintf(stderr,
          "usage: httpmedia-demux [--plugin=PATH] [--packets] URL\n"
          "       httpmedia-demux --file [--packets] FILE\n");
  return EXIT_USAGE;
}

int main(int argc, char** argv) {
  const char* plugin_path = HTTPMEDIA_DEMUX_PLUGIN;
  const char* input = NULL;
  int from_file = 0, list_packets = 0;
  for (int i = 1; i < argc; ++i) {
    if (strncmp(argv[i], "--plugin=", 9) == 0) {
      plugin_path = argv[i] + 9;
    } else if (strcmp(argv[i], "--packets") == 0) {
      list_packets = 1;
    } else if (strcmp(argv[i], "--file") == 0) {
      from_file = 1;
    } else if (argv[i][0] == '-' || input != NULL) {
      return usage();
    } else {
      input = argv[i];
    }
  }
  if (input == NULL) return usage();
  av_log_set_level(AV_LOG_ERROR);

  struct plugin plugin = {0};
  AVIOContext* io = NULL;
  AVFormatContext* format = NULL;
  int code = EXIT_OPEN_FAILED;
  int result;

  if (from_file) {
    result = avformat_open_input(&format, input, NULL, NULL);
  } else {
    HttpMediaChar* url = utf16_from_utf8(input);
    if (url == NULL) {
      fprintf(stderr, "httpmedia-demux: the URL is not UTF-8\n");
      return EXIT_USAGE;
    }
    if (!load_plugin(&plugin, plugin_path)) {
      free(url);
      return EXIT_OPEN_FAILED;
    }
    const int32_t length = plugin.open(url);
    free(url);
    if (length == 0) {
      /* The outcome's text, unlike the URL, never carries credentials. */
      HttpMediaOutcome why;
      last_outcome(&plugin, &why);
      fprintf(stderr, "httpmedia-demux: the plug-in could not open the URL: %s\n", why.text);
      goto done;
    }
    plugin.length = length == HTTPMEDIA_UNKNOWN_LENGTH ? -1 : length;

    /* The I/O context owns its buffer; libavformat may replace it, so it is
     * freed through the context at the end, never through this pointer. */
    const int buffer_size = 64 * 1024;
    unsigned char* buffer = av_malloc((size_t)buffer_size);
    if (buffer != NULL) {
      io = avio_alloc_context(buffer, buffer_size, 0, &plugin, read_packet, NULL, seek_stream);
    }
    format = io != NULL ? avformat_alloc_context() : NULL;
    if (format == NULL) {
      if (io == NULL) av_free(buffer);
      fprintf(stderr, "httpmedia-demux: out of memory\n");
      goto done;
    }
    format->pb = io;
    result = avformat_open_input(&format, input, NULL, NULL);
  }
  if (result < 0) {
    fprintf(stderr, "httpmedia-demux: cannot open %s as media: %s\n", input, av_err2str(result));
    goto done;
  }
  code = EXIT_DEMUX_FAILED;
  if ((result = avformat_find_stream_info(format, NULL)) < 0) {
    fprintf(stderr, "httpmedia-demux: no stream information: %s\n", av_err2str(result));
    goto done;
  }
  print_streams(format, avio_size(format->pb));
  if ((result = demux(format, list_packets)) < 0) {
    fprintf(stderr, "httpmedia-demux: demuxing failed: %s\n", av_err2str(result));
    goto done;
  }
  code = 0;

done:
  avformat_close_input(&format); /* a custom I/O context stays the caller's */
  if (io != NULL) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
  /* Closed, but not unloaded: like a player, the program keeps its input
   * plug-in loaded until it exits. */
  if (plugin.library != NULL) plugin.close();
  return code;
}
