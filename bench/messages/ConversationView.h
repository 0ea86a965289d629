#pragma once

// Conversations of 10 000 and 100 000 text messages opened in the chat page
// with the whole conversation chosen (file loaded, page built, laid out and
// scrolled to its newest message), beside loading the same file without the
// page. Prints the figures; false when it failed.
bool measureConversationView();
