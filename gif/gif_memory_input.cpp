// A read-only packfile over a block of memory, so that GIF data already in
// memory go through the same reader as files.
#include "gif_reader_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

struct MemoryInput {
    const unsigned char *data;
    long size;
    long pos;
};

int memory_fclose(void *userdata)
{
    std::free(userdata);
    return 0;
}

int memory_getc(void *userdata)
{
    MemoryInput *in = static_cast<MemoryInput *>(userdata);
    if (in->pos >= in->size)
        return EOF;
    return in->data[in->pos++];
}

int memory_ungetc(int c, void *userdata)
{
    MemoryInput *in = static_cast<MemoryInput *>(userdata);
    if (in->pos <= 0 || in->data[in->pos - 1] != c)
        return EOF;
    --in->pos;
    return c;
}

long memory_fread(void *p, long n, void *userdata)
{
    MemoryInput *in = static_cast<MemoryInput *>(userdata);
    if (n <= 0)
        return 0;
    long left = in->size - in->pos;
    if (n > left)
        n = left;
    std::memcpy(p, in->data + in->pos, n);
    in->pos += n;
    return n;
}

int memory_putc(int, void *)
{
    return EOF;
}

long memory_fwrite(const void *, long, void *)
{
    return 0;
}

// Relative and forward only, like the library's own packfiles.
int memory_fseek(void *userdata, int offset)
{
    MemoryInput *in = static_cast<MemoryInput *>(userdata);
    if (offset < 0)
        return -1;
    if (offset > in->size - in->pos) {
        in->pos = in->size;
        return -1;
    }
    in->pos += offset;
    return 0;
}

int memory_feof(void *userdata)
{
    MemoryInput *in = static_cast<MemoryInput *>(userdata);
    return in->pos >= in->size;
}

int memory_ferror(void *)
{
    return 0;
}

const PACKFILE_VTABLE memory_vtable = {
    memory_fclose, memory_getc,  memory_ungetc, memory_fread, memory_putc,
    memory_fwrite, memory_fseek, memory_feof,   memory_ferror,
};

}  // namespace

PACKFILE *gif_open_memory(const void *data, long size)
{
    if (!data && size > 0)
        return nullptr;
    MemoryInput *in =
        static_cast<MemoryInput *>(std::malloc(sizeof(MemoryInput)));
    if (!in)
        return nullptr;
    in->data = static_cast<const unsigned char *>(data);
    in->size = size > 0 ? size : 0;
    in->pos = 0;
    PACKFILE *f = pack_fopen_vtable(&memory_vtable, in);
    if (!f)
        std::free(in);
    return f;
}
