#include "ImageDataReader.h"

#include <fcntl.h>
#include <string.h>

static size_t PieceLength(const ImageDataReader *reader, uint64_t piece)
{
    uint64_t left = reader->size - piece * reader->pieceSize;
    return left < reader->pieceSize ? (size_t)left : reader->pieceSize;
}

static uint8_t *PieceBuffer(const ImageDataReader *reader, uint64_t piece)
{
    return reader->buffer + (piece & 1) * reader->pieceSize;
}

/* 0, or how the read of the piece failed. */
static int ReadPiece(ImageDataReader *reader, uint64_t piece)
{
    size_t length = PieceLength(reader, piece);
    if (fread(PieceBuffer(reader, piece), 1, length, reader->file) == length)
        return 0;
    return feof(reader->file) ? IMAGE_DATA_END_OF_FILE : IMAGE_DATA_FILE_ERROR;
}

static void *ReadAhead(void *argument)
{
    ImageDataReader *reader = (ImageDataReader *)argument;
    pthread_mutex_lock(&reader->lock);
    while (!reader->stop && !reader->failure && reader->read < reader->pieces) {
        if (reader->read - reader->hashed >= 2) {
            pthread_cond_wait(&reader->changed, &reader->lock);
            continue;
        }
        uint64_t piece = reader->read;
        pthread_mutex_unlock(&reader->lock);
        int failure = ReadPiece(reader, piece);
        pthread_mutex_lock(&reader->lock);
        reader->failure = failure;
        reader->read = piece + 1;
        pthread_cond_broadcast(&reader->changed);
    }
    pthread_mutex_unlock(&reader->lock);
    return NULL;
}

void ImageDataReader_Start(ImageDataReader *reader, FILE *file, uint8_t *buffer, size_t bufferSize, uint64_t size)
{
    memset(reader, 0, sizeof *reader);
    reader->file = file;
    reader->buffer = buffer;
    reader->pieceSize = bufferSize / 2;
    reader->size = size;
    reader->pieces = (size + reader->pieceSize - 1) / reader->pieceSize;
    pthread_mutex_init(&reader->lock, NULL);
    pthread_cond_init(&reader->changed, NULL);
    /* Larger read-ahead of the file where it is not cached yet. */
    posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (reader->pieces < 2)
        return;
    /* The thread only calls fread: a small stack does. */
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    pthread_attr_setstacksize(&attributes, 64u << 10);
    reader->threaded = pthread_create(&reader->thread, &attributes, ReadAhead, reader) == 0;
    pthread_attr_destroy(&attributes);
}

int ImageDataReader_Next(ImageDataReader *reader, const uint8_t **data, size_t *length, uint64_t *offset)
{
    pthread_mutex_lock(&reader->lock);
    uint64_t piece = reader->hashed;
    int outcome = IMAGE_DATA_PIECE;
    if (piece >= reader->pieces) {
        outcome = IMAGE_DATA_DONE;
    } else if (reader->threaded) {
        while (reader->read <= piece && !reader->failure)
            pthread_cond_wait(&reader->changed, &reader->lock);
        if (reader->read <= piece + 1 && reader->failure)
            outcome = reader->failure; /* reading stopped at this piece or before it */
    } else {
        int failure = ReadPiece(reader, piece);
        reader->read = piece + 1;
        reader->failure = failure;
        if (failure)
            outcome = failure;
    }
    pthread_mutex_unlock(&reader->lock);
    *data = PieceBuffer(reader, piece);
    *length = outcome == IMAGE_DATA_PIECE ? PieceLength(reader, piece) : 0;
    *offset = piece * reader->pieceSize;
    return outcome;
}

void ImageDataReader_Release(ImageDataReader *reader)
{
    pthread_mutex_lock(&reader->lock);
    reader->hashed++;
    pthread_cond_broadcast(&reader->changed);
    pthread_mutex_unlock(&reader->lock);
}

void ImageDataReader_Stop(ImageDataReader *reader)
{
    if (reader->threaded) {
        pthread_mutex_lock(&reader->lock);
        reader->stop = 1;
        pthread_cond_broadcast(&reader->changed);
        pthread_mutex_unlock(&reader->lock);
        pthread_join(reader->thread, NULL);
        reader->threaded = 0;
    }
    pthread_mutex_destroy(&reader->lock);
    pthread_cond_destroy(&reader->changed);
}
