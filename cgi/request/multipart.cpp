/* Multipart upload: the named file's content goes line by line into the upload file; the
 * request string names it. */
#include "request.h"
#include "request_internal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char FIXED_UPLOAD_PATH[] = "/tmp/upload.bin";
constexpr unsigned UPLOAD_PATH_SIZE = 4096;

std::array<char, UPLOAD_PATH_SIZE> upload_override;
bool upload_overridden = false;

using line_buffer = std::array<char, CGI_LINE_SIZE>;

/* The upload file lies in a world-writable folder: a planted link is not followed, a
 * planted FIFO does not block the request, and anything but a regular file is refused.
 * -1 when it cannot be opened. */
int open_upload()
{
    const int fd = open(upload_path(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                        0600);
    if (fd < 0)
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Writes all bytes when fd is open; a failing write drops the rest of the part silently. */
void write_upload(int &fd, const char *data, size_t size)
{
    while (fd >= 0 && size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            close(fd);
            fd = -1;
            return;
        }
        data += done;
        size -= static_cast<size_t>(done);
    }
}

/* Names the upload in the request string; false when memory runs out. */
bool name_upload(const char *file_name, size_t length)
{
    const char *path = upload_path();
    const size_t size = strlen(path) + length + 64;
    char *text = static_cast<char *>(malloc(size));
    if (!text)
        return false;
    const int written = snprintf(text, size, "filename=%s&name=%.*s", path, static_cast<int>(length), file_name);
    if (written < 0 || static_cast<size_t>(written) >= size) {
        free(text);
        return false;
    }
    request_replace(text);
    return true;
}

/* Copies a part's data with a one-line delay, so that the CR LF in front of the delimiter
 * line is not written. A line that fills the buffer up to a CR keeps that CR back until the
 * next piece shows whether it is the CR of that CR LF. */
void copy_part(int &fd, const char *boundary, body_reader &reader, int32_t *remaining, line_buffer &line,
               line_buffer &held)
{
    size_t held_size = 0;
    bool pending_cr = false;
    for (;;) {
        const int n = body_read_line(reader, line.data(), CGI_LINE_SIZE, remaining);
        if (n == 0) {
            if (pending_cr)
                write_upload(fd, "\r", 1);
            return;
        }
        if (strstr(line.data(), boundary)) {
            const bool split_line_end = held_size == 1 && held[0] == '\n';
            if (pending_cr && !split_line_end)
                write_upload(fd, "\r", 1);
            if (held_size > 2)
                write_upload(fd, held.data(), held_size - 2);
            return;
        }
        if (held_size > 0) {
            if (pending_cr)
                write_upload(fd, "\r", 1);
            pending_cr = held[held_size - 1] == '\r';
            write_upload(fd, held.data(), held_size - (pending_cr ? 1 : 0));
        }
        memcpy(held.data(), line.data(), static_cast<size_t>(n));
        held_size = static_cast<size_t>(n);
    }
}

}  // namespace

const char *upload_path()
{
    return upload_overridden ? upload_override.data() : FIXED_UPLOAD_PATH;
}

void upload_path_set(const char *path)
{
    upload_overridden = path != nullptr;
    if (!path)
        return;
    // A path that does not fit becomes an empty one, which no open or unlink accepts: a test
    // never falls back to the fixed path.
    const int written = snprintf(upload_override.data(), upload_override.size(), "%s", path);
    if (written < 0 || static_cast<size_t>(written) >= upload_override.size())
        upload_override[0] = '\0';
}

void multipart_read(const char *content_type)
{
    const char *length_text = getenv("CONTENT_LENGTH");
    if (!length_text)
        return;
    // A length of 2^31 or more (or none that can be read) reads nothing.
    uint64_t length = 0;
    int32_t remaining = request_parse_length(length_text, &length) && length <= INT32_MAX
                            ? static_cast<int32_t>(length)
                            : -1;
    const char *mark = strstr(content_type, "boundary=");
    if (!mark)
        return;
    const char *boundary = mark + strlen("boundary=");

    body_reader reader;
    line_buffer line, held;
    body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining);  // opening delimiter, not examined
    while (body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining) > 0) {
        // Only the part's first header line is searched for a file name.
        int fd = -1;
        const char *name = strstr(line.data(), "filename=\"");
        if (name) {
            name += strlen("filename=\"");
            const size_t name_length = strcspn(name, "\"");
            if (name_length > 0 && name_upload(name, name_length))
                fd = open_upload();
        }
        for (;;) {
            const int n = body_read_line(reader, line.data(), CGI_LINE_SIZE, &remaining);
            if (n == 0 || (line[0] == '\r' && line[1] == '\n'))
                break;
        }
        copy_part(fd, boundary, reader, &remaining, line, held);
        if (fd >= 0)
            close(fd);
    }
}
