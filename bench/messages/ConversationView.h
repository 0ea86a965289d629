#pragma once

// A conversation of 10 000 text messages opened in the chat page (page
// built, laid out and scrolled to its newest message), beside loading the
// same file without the page. Prints its figure; false when it failed.
bool measureConversationView();
