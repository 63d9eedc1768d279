/* Reads the image data for hashing: a thread of its own reads the next piece into one half of the
   buffer while the caller hashes the piece in the other half. */
#ifndef IMAGE_DATA_READER_H
#define IMAGE_DATA_READER_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    FILE *file;
    uint8_t *buffer;
    size_t pieceSize; /* half the buffer */
    uint64_t size;
    uint64_t pieces;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    pthread_t thread;
    int threaded; /* 0: the pieces are read by ImageDataReader_Next itself */
    uint64_t read;   /* pieces read, the last of them possibly failed */
    uint64_t hashed; /* pieces handed back */
    int failure;     /* of piece read - 1: IMAGE_DATA_END_OF_FILE or IMAGE_DATA_FILE_ERROR */
    int stop;
} ImageDataReader;

enum {
    IMAGE_DATA_PIECE = 1,
    IMAGE_DATA_DONE = 0,
    IMAGE_DATA_END_OF_FILE = -1,
    IMAGE_DATA_FILE_ERROR = -2
};

/* size bytes from the file's current position, in pieces of half of bufferSize bytes (even). */
void ImageDataReader_Start(ImageDataReader *reader, FILE *file, uint8_t *buffer, size_t bufferSize, uint64_t size);

/* The next piece in order: IMAGE_DATA_PIECE with its bytes, its length and its offset in the
   data; IMAGE_DATA_DONE after the last; a failed read gives its outcome and the piece's offset.
   The piece stays valid until ImageDataReader_Release. */
int ImageDataReader_Next(ImageDataReader *reader, const uint8_t **data, size_t *length, uint64_t *offset);
void ImageDataReader_Release(ImageDataReader *reader);

/* Ends the reading (also before the last piece); the file and buffer are the caller's again. */
void ImageDataReader_Stop(ImageDataReader *reader);

#ifdef __cplusplus
}
#endif

#endif
