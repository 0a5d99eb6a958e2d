/* Reads context-menu action files with GLib, the library Nemo and Thunar read
 * them with, and prints what those file managers would take from them.
 *
 *   glib_reader keyfile FILE GROUP KEY...  each key's value, one per line, as
 *                                          g_key_file_get_string unescapes it
 *   glib_reader exec FILE GROUP NAME...    the arguments of the group's Exec
 *                                          line once %F is replaced by NAMEs
 *   glib_reader uca FILE                   each <action> of a Thunar uca.xml, as
 *                                          Thunar's GMarkup parser sees it: a
 *                                          line "unique-id|name|patterns|command"
 *   glib_reader command CMD NAME...        the arguments of a Thunar command
 *                                          once Thunar has expanded its %-codes
 *                                          (%F: the NAMEs, %%: a %, ...)
 *
 * %F becomes the names, each quoted with g_shell_quote, and the line is split
 * with g_shell_parse_argv, as both file managers run their commands. Arguments
 * are printed one per line. */
#include <glib.h>
#include <stdio.h>
#include <string.h>

/* Thunar's own expansion of a command: each %X anywhere in it, inside quotes too,
 * is replaced (%F, %U, %D, %N by the whole selection, %f, %u, %d, %n by its first
 * item; here always as quoted paths), %% becomes %, any other %X stays. */
static gchar* thunar_expand(const char* command, const char* all, const char* first) {
    GString* line = g_string_new("");
    for (const char* p = command; *p; ++p) {
        if (p[0] != '%' || p[1] == '\0') {
            g_string_append_c(line, *p);
        } else if (*++p == '%') {
            g_string_append_c(line, '%');
        } else if (strchr("FUDN", *p)) {
            g_string_append(line, all);
        } else if (strchr("fudn", *p)) {
            g_string_append(line, first);
        } else {
            g_string_append_c(line, '%');
            g_string_append_c(line, *p);
        }
    }
    return g_string_free(line, FALSE);
}

static int print_argv(const char* command, int count, char** names, int thunar) {
    GString* joined = g_string_new("");
    for (int i = 0; i < count; ++i) {
        gchar* quoted = g_shell_quote(names[i]);
        g_string_append(joined, quoted);
        if (i + 1 < count) {
            g_string_append_c(joined, ' ');
        }
        g_free(quoted);
    }
    gchar** parts = g_strsplit(command, "%F", -1);
    gchar* first = g_shell_quote(count > 0 ? names[0] : "");
    gchar* line =
        thunar ? thunar_expand(command, joined->str, first) : g_strjoinv(joined->str, parts);
    GError* error = NULL;
    gint argc = 0;
    gchar** argv = NULL;
    if (!g_shell_parse_argv(line, &argc, &argv, &error)) {
        fprintf(stderr, "%s\n", error->message);
        return 1;
    }
    for (gint i = 0; i < argc; ++i) {
        fwrite(argv[i], 1, strlen(argv[i]), stdout);
        fputc('\n', stdout);
    }
    return 0;
}

typedef struct {
    GString* field;
    const gchar* element;
    gchar *id, *name, *patterns, *command;
    int depth;
} UcaState;

static void uca_start(GMarkupParseContext* context, const gchar* element, const gchar** names,
                      const gchar** values, gpointer data, GError** error) {
    (void)context, (void)names, (void)values, (void)error;
    UcaState* state = data;
    ++state->depth;
    if (state->depth == 2 && strcmp(element, "action") == 0) {
        state->id = state->name = state->patterns = state->command = NULL;
    }
    if (state->depth == 3) {
        state->element = element;
        g_string_truncate(state->field, 0);
    }
}

static void uca_text(GMarkupParseContext* context, const gchar* text, gsize length, gpointer data,
                     GError** error) {
    (void)context, (void)error;
    UcaState* state = data;
    if (state->depth == 3) {
        g_string_append_len(state->field, text, (gssize)length);
    }
}

static void uca_end(GMarkupParseContext* context, const gchar* element, gpointer data,
                    GError** error) {
    (void)context, (void)error;
    UcaState* state = data;
    if (state->depth == 3 && state->element) {
        gchar** slot = NULL;
        if (strcmp(element, "unique-id") == 0)
            slot = &state->id;
        if (strcmp(element, "name") == 0 && !state->name)
            slot = &state->name;
        if (strcmp(element, "patterns") == 0)
            slot = &state->patterns;
        if (strcmp(element, "command") == 0)
            slot = &state->command;
        if (slot)
            *slot = g_strdup(state->field->str);
        state->element = NULL;
    }
    if (state->depth == 2 && strcmp(element, "action") == 0) {
        printf("%s|%s|%s|%s\n", state->id ? state->id : "", state->name ? state->name : "",
               state->patterns ? state->patterns : "", state->command ? state->command : "");
    }
    --state->depth;
}

int main(int argc, char** argv) {
    GError* error = NULL;
    if (argc >= 3 && strcmp(argv[1], "uca") == 0) {
        gchar* text = NULL;
        gsize length = 0;
        if (!g_file_get_contents(argv[2], &text, &length, &error)) {
            fprintf(stderr, "%s\n", error->message);
            return 1;
        }
        GMarkupParser parser = {uca_start, uca_end, uca_text, NULL, NULL};
        UcaState state = {g_string_new(""), NULL, NULL, NULL, NULL, NULL, 0};
        GMarkupParseContext* context = g_markup_parse_context_new(&parser, 0, &state, NULL);
        if (!g_markup_parse_context_parse(context, text, (gssize)length, &error) ||
            !g_markup_parse_context_end_parse(context, &error)) {
            fprintf(stderr, "%s\n", error->message);
            return 1;
        }
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "command") == 0) {
        return print_argv(argv[2], argc - 3, argv + 3, 1);
    }
    if (argc < 5) {
        return 2;
    }
    GKeyFile* file = g_key_file_new();
    if (!g_key_file_load_from_file(file, argv[2], G_KEY_FILE_NONE, &error)) {
        fprintf(stderr, "%s\n", error->message);
        return 1;
    }
    if (strcmp(argv[1], "exec") == 0) {
        gchar* exec = g_key_file_get_string(file, argv[3], "Exec", &error);
        if (!exec) {
            fprintf(stderr, "%s\n", error->message);
            return 1;
        }
        return print_argv(exec, argc - 4, argv + 4, 0);
    }
    for (int i = 4; i < argc; ++i) {
        gchar* value = g_key_file_get_string(file, argv[3], argv[i], &error);
        if (!value) {
            fprintf(stderr, "%s\n", error->message);
            return 1;
        }
        printf("%s\n", value);
        g_free(value);
    }
    return 0;
}
