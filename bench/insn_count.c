/* Counts the guest instructions a program runs under qemu-user (TCG plugin).
 *
 *   gcc -shared -fPIC -O2 -o insn_count.so bench/insn_count.c
 *   qemu-arm -plugin ./insn_count.so,out=COUNT_FILE PROGRAM ARGS...
 *
 * writes the count (decimal, one line) to COUNT_FILE when the guest exits;
 * without out=, prints "insns N" through -d plugin.
 *
 * Debian's qemu-user ships no plugin header, so the few entry points used
 * are declared here, as plugin API version 1 (QEMU 7.2) defines them. Each
 * translated block adds its instruction count to one counter when it starts,
 * with an inline add rather than a callback, so the count costs little and
 * depends only on the guest's path, never on timing. One counter for all
 * vCPUs: the programs measured are single-threaded.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t; /* only passed through */
struct qemu_plugin_tb;

enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

EXPORT int qemu_plugin_version = 1;

static uint64_t executed;
static const char *out_path;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb)
{
    (void)id;
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed,
                                             qemu_plugin_tb_n_insns(tb));
}

static void report(qemu_plugin_id_t id, void *userdata)
{
    (void)id;
    (void)userdata;
    char line[64];
    snprintf(line, sizeof line, "%llu\n", (unsigned long long)executed);
    if (!out_path) {
        char tagged[80];
        snprintf(tagged, sizeof tagged, "insns %s", line);
        qemu_plugin_outs(tagged);
        return;
    }
    /* A count that cannot be written must not pass for one: the reader
       finds no file, or an empty one, and says so. */
    FILE *out = fopen(out_path, "w");
    if (out) {
        fputs(line, out);
        fclose(out);
    }
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv)
{
    (void)info;
    for (int i = 0; i < argc; i++) {
        if (strncmp(argv[i], "out=", 4) == 0 && argv[i][4] && !out_path) {
            out_path = strdup(argv[i] + 4); /* argv need not outlive the install */
        } else {
            fprintf(stderr, "insn_count: unknown argument '%s' (takes out=FILE)\n", argv[i]);
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_atexit_cb(id, report, NULL);
    return 0;
}
