// Message boxes and the folder-choice dialog.
#include <string>

#include "brlog.h"
#include "zvdesktop_gtk.h"

namespace {
bool g_ended = false;
}

void zvdialogs__endAll() {
  g_ended = true;
  GList *all = gtk_window_list_toplevels();
  for (GList *w = all; w; w = w->next)
    if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
      gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_DELETE_EVENT);
  g_list_free(all);
}

void zvdialogs__messageBox(const char *text, const char *caption, bool warning) {
  if (g_ended) {
    brlog("ZVBROWSER", warning ? BRLOG_WARNING : BRLOG_INFO, "%s: %s\n", caption, text);
    return;
  }
  GtkWidget *dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                             warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO,
                                             GTK_BUTTONS_OK, "%s", text);
  gtk_window_set_title(GTK_WINDOW(dialog), caption);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

bool zvdialogs__chooseFolder(GtkWindow *parent, const char *title, std::string *path,
                             std::string *name) {
  if (g_ended) return false;
  GtkWidget *dialog =
      gtk_file_chooser_dialog_new(title, parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
                                  GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
  gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(dialog), FALSE);
  bool chosen = false;
  while (!g_ended) {
    if (gtk_dialog_run(GTK_DIALOG(dialog)) != GTK_RESPONSE_ACCEPT) break;
    gchar *file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (file && g_file_test(file, G_FILE_TEST_IS_DIR)) {
      *path = file;
      gchar *base = g_path_get_basename(file);
      *name = base;
      g_free(base);
      g_free(file);
      chosen = true;
      break;
    }
    g_free(file);
    // A typed folder that does not exist: say so and let the user choose again.
    GtkWidget *box = gtk_message_dialog_new(
        GTK_WINDOW(dialog), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_OK, "%s",
        "Folder not found.\nCheck the folder name and try again");
    gtk_window_set_title(GTK_WINDOW(box), "Add Folder Error");
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
  }
  gtk_widget_destroy(dialog);
  return chosen;
}
