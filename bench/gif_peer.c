/* gif_peer: giflib's side of the GIF comparison, on raw index images.
 *
 *   gif_peer encode RAW W H COLOURS OUT.gif   prints "encode_s <seconds>"
 *   gif_peer decode IN.gif OUT.raw            prints "decode_s <seconds>"
 *
 * RAW holds W x H bytes of colour indices, row by row. The palette is the
 * same grey ramp that bench_gif writes, so both files show the same image.
 */
#include <gif_lib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_s(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static unsigned char *read_all(const char *path, long want)
{
    FILE *f = fopen(path, "rb");
    unsigned char *buf = malloc(want);
    if (!f || !buf || fread(buf, 1, want, f) != (size_t)want) {
        fprintf(stderr, "gif_peer: cannot read %s\n", path);
        exit(1);
    }
    fclose(f);
    return buf;
}

static int encode(const char *raw, int w, int h, int colours, const char *out)
{
    unsigned char *px = read_all(raw, (long)w * h);
    int bits = 1;
    while ((1 << bits) < colours)
        ++bits;
    ColorMapObject *map = GifMakeMapObject(1 << bits, NULL);
    for (int i = 0; i < (1 << bits); ++i) {
        int v = colours > 1 ? i * 255 / (colours - 1) : 0;
        map->Colors[i].Red = v;
        map->Colors[i].Green = 255 - v;
        map->Colors[i].Blue = (v * 7) & 255;
    }
    double t0 = now_s();
    int err = 0;
    GifFileType *g = EGifOpenFileName(out, 0, &err);
    if (!g || EGifPutScreenDesc(g, w, h, 8, 0, NULL) == GIF_ERROR ||
        EGifPutImageDesc(g, 0, 0, w, h, 0, map) == GIF_ERROR)
        return 1;
    for (int y = 0; y < h; ++y)
        if (EGifPutLine(g, px + (long)y * w, w) == GIF_ERROR)
            return 1;
    if (EGifCloseFile(g, &err) == GIF_ERROR)
        return 1;
    printf("encode_s %.4f\n", now_s() - t0);
    GifFreeMapObject(map);
    free(px);
    return 0;
}

static int decode(const char *in, const char *out)
{
    double t0 = now_s();
    int err = 0;
    GifFileType *g = DGifOpenFileName(in, &err);
    if (!g || DGifSlurp(g) == GIF_ERROR || g->ImageCount < 1)
        return 1;
    double t = now_s() - t0;
    SavedImage *im = &g->SavedImages[0];
    FILE *f = fopen(out, "wb");
    fwrite(im->RasterBits, 1,
           (size_t)im->ImageDesc.Width * im->ImageDesc.Height, f);
    fclose(f);
    DGifCloseFile(g, &err);
    printf("decode_s %.4f\n", t);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 7 && strcmp(argv[1], "encode") == 0)
        return encode(argv[2], atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                      argv[6]);
    if (argc == 4 && strcmp(argv[1], "decode") == 0)
        return decode(argv[2], argv[3]);
    fprintf(stderr, "usage: gif_peer encode RAW W H COLOURS OUT.gif | "
                    "decode IN.gif OUT.raw\n");
    return 2;
}
