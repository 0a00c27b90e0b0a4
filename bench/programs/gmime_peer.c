/* The reference side of the MIME throughput benchmark: GMime 3 parsing and
 * decoding the same corpus as bench/programs/mime_driver.cpp, timed the same way.
 * Used by bench/mime_throughput.sh only; nothing of the project links it.
 *
 *   gmime_peer [--rounds N] CORPUS_DIR
 *
 * Every *.eml file of the folder is read into memory first. A round parses
 * each message from memory (g_mime_parser_construct_message over a memory
 * stream on the loaded bytes), walks its tree, embedded messages included,
 * and decodes the content of every leaf part into a fresh memory stream. The
 * best round is reported as one line:
 *   gmime messages=M bytes=B leaves=L decoded=D best_seconds=S mb_per_s=X
 * (MB = 10^6 bytes of message text). */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <gmime/gmime.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct {
  GByteArray** texts;
  size_t count;
  size_t bytes;
} Corpus;

typedef struct {
  size_t leaves;
  size_t decoded;
} Tally;

static int by_name(const void* a, const void* b) {
  return strcmp(*(char* const*)a, *(char* const*)b);
}

static int load_corpus(const char* dir, Corpus* corpus) {
  DIR* d = opendir(dir);
  if (!d) {
    fprintf(stderr, "gmime_peer: cannot open %s\n", dir);
    return -1;
  }
  char** names = NULL;
  size_t count = 0, cap = 0;
  struct dirent* e;
  while ((e = readdir(d)) != NULL) {
    size_t n = strlen(e->d_name);
    if (n < 5 || strcmp(e->d_name + n - 4, ".eml") != 0) continue;
    if (count == cap) {
      cap = cap ? cap * 2 : 64;
      names = realloc(names, cap * sizeof *names);
    }
    names[count++] = strdup(e->d_name);
  }
  closedir(d);
  if (count == 0) {
    fprintf(stderr, "gmime_peer: no *.eml files in %s\n", dir);
    free(names);
    return -1;
  }
  qsort(names, count, sizeof *names, by_name);

  corpus->texts = calloc(count, sizeof *corpus->texts);
  corpus->count = count;
  corpus->bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, names[i]);
    gchar* data = NULL;
    gsize length = 0;
    if (!g_file_get_contents(path, &data, &length, NULL)) {
      fprintf(stderr, "gmime_peer: cannot read %s\n", path);
      return -1;
    }
    corpus->texts[i] = g_byte_array_new_take((guint8*)data, length);
    corpus->bytes += length;
    free(names[i]);
  }
  free(names);
  return 0;
}

static void decode_tree(GMimeObject* object, Tally* tally) {
  if (GMIME_IS_MULTIPART(object)) {
    GMimeMultipart* multipart = GMIME_MULTIPART(object);
    int n = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < n; ++i) decode_tree(g_mime_multipart_get_part(multipart, i), tally);
  } else if (GMIME_IS_MESSAGE_PART(object)) {
    GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
    if (message) decode_tree(g_mime_message_get_mime_part(message), tally);
  } else if (GMIME_IS_PART(object)) {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(object));
    tally->leaves++;
    if (content) {
      GMimeStream* out = g_mime_stream_mem_new();
      g_mime_data_wrapper_write_to_stream(content, out);
      tally->decoded += g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out))->len;
      g_object_unref(out);
    }
  }
}

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  int rounds = 5;
  const char* dir = NULL;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = atoi(argv[++i]);
    } else {
      dir = argv[i];
    }
  }
  if (!dir || rounds < 1) {
    fprintf(stderr, "usage: gmime_peer [--rounds N] CORPUS_DIR\n");
    return 2;
  }
  g_mime_init();
  Corpus corpus;
  if (load_corpus(dir, &corpus) != 0) return 2;

  double best = 0;
  Tally tally = {0, 0};
  for (int round = 0; round < rounds; ++round) {
    Tally t = {0, 0};
    double start = now();
    for (size_t i = 0; i < corpus.count; ++i) {
      /* The stream reads the loaded bytes in place and leaves them to us. */
      GMimeStream* stream = g_mime_stream_mem_new_with_byte_array(corpus.texts[i]);
      g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(stream), FALSE);
      GMimeParser* parser = g_mime_parser_new_with_stream(stream);
      GMimeMessage* message = g_mime_parser_construct_message(parser, NULL);
      if (message) {
        decode_tree(g_mime_message_get_mime_part(message), &t);
        g_object_unref(message);
      }
      g_object_unref(parser);
      g_object_unref(stream);
    }
    double seconds = now() - start;
    if (round == 0 || seconds < best) best = seconds;
    tally = t;
  }
  printf("gmime messages=%zu bytes=%zu leaves=%zu decoded=%zu best_seconds=%.6f mb_per_s=%.1f\n",
         corpus.count, corpus.bytes, tally.leaves, tally.decoded, best, corpus.bytes / best / 1e6);
  for (size_t i = 0; i < corpus.count; ++i) g_byte_array_unref(corpus.texts[i]);
  free(corpus.texts);
  g_mime_shutdown();
  return 0;
}
