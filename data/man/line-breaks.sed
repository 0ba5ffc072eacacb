# Japanese runs have no spaces, so roff could not break them and would overrun the line. This puts a
# break point (\:) between two wide characters, except before closing punctuation and the long-vowel
# mark, which must not start a line. Requests are left alone, and so is the line under 名前, which
# whatis reads as it stands. Run it in a UTF-8 locale, so that a character is not split.
/^\.SH 名前$/{
n
b
}
/^\./b
:again
s/\([^ -~]\)\([^ -~、。，．」』）！？ー…・]\)/\1\\:\2/
t again
