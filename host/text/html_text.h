// Plain text from HTML: the text of an HTML file as it reads without markup.
#pragma once

#include <cstddef>

// Removes the markup of `length` bytes of HTML:
//   - tags, comments, "<!...>" declarations and "<?...?>" instructions are
//     dropped (a quoted attribute value may hold ">"); a "<" that starts
//     none of them ("a < b") is text; a tag left open at the end is dropped;
//   - the contents of script and style elements are dropped;
//   - a line-breaking element (br, p, div, tr, li, h1-h6, title, table, ul,
//     ol, blockquote, pre, hr; start or end tag) becomes one "\n", unless the
//     text already has a line end there;
//   - the entities &lt; &gt; &amp; &quot; &apos; and &nbsp; (as a space) and
//     numeric references to ASCII characters are decoded; any other entity
//     stays as written, since the text's charset is not known here.
// The result is never longer than the input. Line ends of the text stay.

// Writes the text into `out`, whose size `*out_length` holds on entry; sets
// `*out_length` to the text's length and answers it. The text is cut at the
// size of `out` (it always fits when that is at least `length`). A null
// `data` or `out` answers 0.
std::size_t MCC_HtmlTagRemove(const char* data, std::size_t length, char* out,
                              std::size_t* out_length);

// The same in place; answers the new length.
std::size_t MLG_HtmlTagRemove(char* text, std::size_t length);
