// The configuration utility's screens drawn with curses: the sheet is a form, message boxes
// and questions are panels over it, questions pick Yes or No from a menu.
#include <curses.h>
#include <form.h>
#include <menu.h>
#include <panel.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>

#include "platform/screen.h"

namespace kvzn::platform {

namespace {

constexpr int kEscape = 27;
constexpr int kEnter = '\n';
constexpr int kBoxWidth = 64;
constexpr int kMaxFieldWidth = 48;
constexpr int kFieldBuffer = 512;  // longest text a field takes

// Words of `text` wrapped to lines of at most `width` characters; '\n' starts a new line.
std::vector<std::string> Wrap(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string para = text.substr(start, end - start);
        while (para.size() > width) {
            size_t cut = para.rfind(' ', width);
            if (cut == std::string::npos || cut == 0) {
                cut = width;
            }
            lines.push_back(para.substr(0, cut));
            para.erase(0, cut);
            para.erase(0, para.find_first_not_of(' ') == std::string::npos
                              ? para.size()
                              : para.find_first_not_of(' '));
        }
        lines.push_back(para);
        start = end + 1;
    }
    return lines;
}

// The command keys line in rows of at most `width` characters, broken only between two
// commands (they are two blanks apart); at most `most` rows, the last one cut.
std::vector<std::string> KeyRows(const std::string& line, size_t width, size_t most) {
    std::vector<std::string> rows(1);
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find("  ", start);
        if (end == std::string::npos) {
            end = line.size();
        }
        const std::string command = line.substr(start, end - start);
        start = end + 2;
        if (rows.back().empty()) {
            rows.back() = command;
        } else if (rows.back().size() + 2 + command.size() <= width || rows.size() == most) {
            rows.back() += "  " + command;
        } else {
            rows.push_back(command);
        }
    }
    return rows;
}

std::string FieldText(FIELD* field) {
    std::string text = field_buffer(field, 0);
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// A boxed window in the middle of the screen, on a panel above everything else.
class Box {
  public:
    Box(const std::string& title, const std::vector<std::string>& lines, int extraRows,
        int wanted = kBoxWidth) {
        const int width = std::min(wanted, COLS - 2);
        const int height = std::min(static_cast<int>(lines.size()) + 4 + extraRows, LINES - 2);
        win_ = newwin(height, width, (LINES - height) / 2, (COLS - width) / 2);
        keypad(win_, TRUE);
        panel_ = new_panel(win_);
        box(win_, 0, 0);
        mvwprintw(win_, 0, 2, " %.*s ", width - 6, title.c_str());
        for (size_t i = 0; i < lines.size() && static_cast<int>(i) + 2 < height - 1; ++i) {
            mvwprintw(win_, static_cast<int>(i) + 2, 2, "%-*.*s", width - 4, width - 4,
                      lines[i].c_str());
        }
        rows_ = height;
        width_ = width;
    }
    ~Box() {
        del_panel(panel_);
        delwin(win_);
        update_panels();
        doupdate();
    }
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;
    WINDOW* win() const { return win_; }
    int rows() const { return rows_; }
    int width() const { return width_; }

  private:
    WINDOW* win_ = nullptr;
    PANEL* panel_ = nullptr;
    int rows_ = 0;
    int width_ = 0;
};

class CursesScreen final : public Screen {
  public:
    CursesScreen() {
        std::setlocale(LC_ALL, "");
        set_escdelay(25);
        initscr();
        cbreak();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        curs_set(1);
    }
    ~CursesScreen() override {
        wait_.reset();
        endwin();
    }

    SheetCommand EditSheet(const SheetView& view, std::vector<std::string>& texts, size_t& focus,
                           std::chrono::seconds refreshAfter) override {
        wait_.reset();
        erase();
        attron(A_BOLD);
        mvprintw(0, 1, "%.*s", COLS - 2, view.title.c_str());
        attroff(A_BOLD);
        // When the tabs are wider than the screen, the row starts at a later tab so that the
        // current one is shown; "<" and ">" tell that there are more.
        const auto tabsWidth = [&](size_t from, size_t to) {
            int width = 0;
            for (size_t i = from; i <= to && i < view.tabs.size(); ++i) {
                width += static_cast<int>(view.tabs[i].size()) + 3;
            }
            return width;
        };
        size_t firstTab = 0;
        while (firstTab < view.currentTab && 1 + tabsWidth(firstTab, view.currentTab) >= COLS) {
            ++firstTab;
        }
        if (firstTab > 0) {
            mvprintw(2, 0, "<");
        }
        int x = 1;
        for (size_t i = firstTab; i < view.tabs.size(); ++i) {
            const std::string tab = " " + view.tabs[i] + " ";
            if (x + static_cast<int>(tab.size()) >= COLS) {
                mvprintw(2, COLS - 1, ">");
                break;
            }
            if (i == view.currentTab) {
                attron(A_REVERSE);
            }
            mvprintw(2, x, "%s", tab.c_str());
            attroff(A_REVERSE);
            x += static_cast<int>(tab.size()) + 1;
        }
        mvhline(3, 0, ACS_HLINE, COLS);

        int labelWidth = 0;
        for (const ScreenField& f : view.fields) {
            labelWidth = std::max(labelWidth, static_cast<int>(f.label.size()));
        }
        labelWidth = std::min(labelWidth, COLS / 2);
        const int column = labelWidth + 2;
        std::vector<FIELD*> fields;
        std::vector<int> widths;
        for (size_t i = 0; i < view.fields.size(); ++i) {
            const ScreenField& f = view.fields[i];
            const int row = 5 + static_cast<int>(i);
            int width = std::min(kMaxFieldWidth, COLS - column - 2);
            if (!f.hint.empty()) {
                width = std::min<int>(width, 12);
            }
            width = std::max(width, 4);
            widths.push_back(width);
            FIELD* field = new_field(1, width, row - 5, column - 1, 0, 0);
            field_opts_off(field, O_AUTOSKIP | O_STATIC | O_BLANK);
            set_max_field(field, kFieldBuffer);
            set_field_back(field, A_UNDERLINE);
            if (f.secret) {
                field_opts_off(field, O_PUBLIC);
            }
            set_field_buffer(field, 0, i < texts.size() ? texts[i].c_str() : "");
            fields.push_back(field);
        }
        fields.push_back(nullptr);
        // The command keys take up to three rows at the bottom, the status line above them.
        // The last column of the last row is left alone: writing it would scroll.
        const std::vector<std::string> keys =
            KeyRows(view.buttons, static_cast<size_t>(std::max(COLS - 1, 1)), 3);
        const int keysRow = LINES - std::max(2, static_cast<int>(keys.size()));
        mvprintw(keysRow - 1, 1, "%.*s", COLS - 2, view.status.c_str());
        attron(A_REVERSE);
        for (size_t i = 0; i < keys.size(); ++i) {
            const int row = keysRow + static_cast<int>(i);
            const int width = row == LINES - 1 ? COLS - 1 : COLS;
            mvprintw(row, 0, "%-*.*s", width, width, keys[i].c_str());
        }
        attroff(A_REVERSE);

        FORM* form = fields.size() > 1 ? new_form(fields.data()) : nullptr;
        WINDOW* area = derwin(stdscr, std::max(1, LINES - 9), COLS - 1, 5, 1);
        if (form != nullptr) {
            set_form_win(form, stdscr);
            set_form_sub(form, area);
            post_form(form);
            if (focus < view.fields.size()) {
                set_current_field(form, fields[focus]);
            }
            form_driver(form, REQ_END_FIELD);
        }
        // Labels and hints go on after the form is posted, which clears its area.
        for (size_t i = 0; i < view.fields.size(); ++i) {
            const ScreenField& f = view.fields[i];
            const int row = 5 + static_cast<int>(i);
            mvprintw(row, 1, "%.*s", labelWidth, f.label.c_str());
            if (!f.hint.empty()) {
                mvprintw(row, column + widths[i] + 1, "%.*s",
                         std::max(0, COLS - column - widths[i] - 2), f.hint.c_str());
            }
        }
        if (form != nullptr) {
            pos_form_cursor(form);
        }
        refresh();

        const SheetCommand command = Loop(form, refreshAfter);
        if (form != nullptr) {
            form_driver(form, REQ_VALIDATION);
            texts.resize(view.fields.size());
            for (size_t i = 0; i < view.fields.size(); ++i) {
                texts[i] = FieldText(fields[i]);
                if (fields[i] == current_field(form)) {
                    focus = i;
                }
            }
            unpost_form(form);
            free_form(form);
        }
        for (FIELD* f : fields) {
            if (f != nullptr) {
                free_field(f);
            }
        }
        delwin(area);
        return command;
    }

    void Message(const std::string& title, const std::string& text) override {
        wait_.reset();
        Box box(title, Wrap(text, kBoxWidth - 6), 1);
        wattron(box.win(), A_REVERSE);
        mvwprintw(box.win(), box.rows() - 2, box.width() / 2 - 3, "[ OK ]");
        wattroff(box.win(), A_REVERSE);
        update_panels();
        doupdate();
        for (;;) {
            const int key = wgetch(box.win());
            if (key == kEnter || key == '\r' || key == KEY_ENTER || key == kEscape || key == ' ') {
                return;
            }
        }
    }

    bool Ask(const std::string& title, const std::string& text) override {
        wait_.reset();
        Box box(title, Wrap(text, kBoxWidth - 6), 1);
        ITEM* items[] = {new_item("Yes", ""), new_item("No", ""), nullptr};
        MENU* menu = new_menu(items);
        set_menu_format(menu, 1, 2);
        set_menu_mark(menu, "");
        WINDOW* sub = derwin(box.win(), 1, 12, box.rows() - 2, box.width() / 2 - 6);
        set_menu_win(menu, box.win());
        set_menu_sub(menu, sub);
        post_menu(menu);
        update_panels();
        doupdate();
        bool yes = false;
        for (bool done = false; !done;) {
            const int key = wgetch(box.win());
            switch (key) {
                case KEY_LEFT:
                case KEY_BTAB:
                    menu_driver(menu, REQ_LEFT_ITEM);
                    break;
                case KEY_RIGHT:
                case '\t':
                    menu_driver(menu, REQ_RIGHT_ITEM);
                    break;
                case 'y':
                case 'Y':
                    yes = true;
                    done = true;
                    break;
                case 'n':
                case 'N':
                case kEscape:
                    done = true;
                    break;
                case kEnter:
                case '\r':
                case KEY_ENTER:
                    yes = current_item(menu) == items[0];
                    done = true;
                    break;
                default:
                    break;
            }
            wrefresh(box.win());
        }
        unpost_menu(menu);
        free_menu(menu);
        free_item(items[0]);
        free_item(items[1]);
        delwin(sub);
        return yes;
    }

    void Wait(const std::string& text) override {
        wait_.reset();
        wait_ = std::make_unique<Box>("Please wait", Wrap(text, kBoxWidth - 6), 0);
        update_panels();
        doupdate();
    }

    std::optional<std::string> Input(const std::string& title, const std::string& prompt,
                                     const std::string& initial, bool secret) override {
        wait_.reset();
        Box box(title, Wrap(prompt, kBoxWidth - 6), 2);
        FIELD* fields[] = {new_field(1, box.width() - 6, 0, 0, 0, 0), nullptr};
        field_opts_off(fields[0], O_AUTOSKIP | O_STATIC);
        if (secret) {
            field_opts_off(fields[0], O_PUBLIC);
        }
        set_max_field(fields[0], kFieldBuffer);
        set_field_back(fields[0], A_UNDERLINE);
        set_field_buffer(fields[0], 0, initial.c_str());
        FORM* form = new_form(fields);
        WINDOW* sub = derwin(box.win(), 1, box.width() - 6, box.rows() - 3, 3);
        set_form_win(form, box.win());
        set_form_sub(form, sub);
        post_form(form);
        update_panels();
        doupdate();
        std::optional<std::string> result;
        for (bool done = false; !done;) {
            const int key = wgetch(box.win());
            if (key == kEscape) {
                done = true;
            } else if (key == kEnter || key == '\r' || key == KEY_ENTER) {
                form_driver(form, REQ_VALIDATION);
                result = FieldText(fields[0]);
                done = true;
            } else {
                EditKey(form, key);
            }
            wrefresh(box.win());
        }
        unpost_form(form);
        free_form(form);
        free_field(fields[0]);
        delwin(sub);
        return result;
    }

    ListChoice ChooseEntry(const std::string& title, const std::vector<std::string>& items,
                           size_t current) override {
        wait_.reset();
        const int shown = std::max(1, std::min<int>(static_cast<int>(items.size()), LINES - 12));
        // Wide enough for the longest entry line, as far as the screen allows.
        int width = kBoxWidth;
        for (const std::string& item : items) {
            width = std::max(width, static_cast<int>(item.size()) + 8);
        }
        Box box(title, {"Enter edit   a add   d delete   Esc close"}, shown + 1, width);
        std::vector<ITEM*> menuItems;
        for (const std::string& item : items) {
            menuItems.push_back(new_item(item.c_str(), ""));
        }
        menuItems.push_back(nullptr);
        MENU* menu = nullptr;
        WINDOW* sub = derwin(box.win(), shown, box.width() - 4, 4, 2);
        if (items.empty()) {
            mvwprintw(sub, 0, 0, "(no entries)");
        } else {
            menu = new_menu(menuItems.data());
            set_menu_format(menu, shown, 1);
            set_menu_win(menu, box.win());
            set_menu_sub(menu, sub);
            set_menu_mark(menu, "> ");
            post_menu(menu);
            set_current_item(menu, menuItems[std::min(current, items.size() - 1)]);
        }
        update_panels();
        doupdate();
        ListChoice choice;
        for (bool done = false; !done;) {
            const int key = wgetch(box.win());
            switch (key) {
                case KEY_DOWN:
                    if (menu != nullptr) {
                        menu_driver(menu, REQ_DOWN_ITEM);
                    }
                    break;
                case KEY_UP:
                    if (menu != nullptr) {
                        menu_driver(menu, REQ_UP_ITEM);
                    }
                    break;
                case kEnter:
                case '\r':
                case KEY_ENTER:
                    choice.action = ListChoice::Action::Edit;
                    done = true;
                    break;
                case KEY_IC:
                case 'a':
                    choice.action = ListChoice::Action::Add;
                    done = true;
                    break;
                case KEY_DC:
                case 'd':
                    choice.action = ListChoice::Action::Delete;
                    done = true;
                    break;
                case kEscape:
                    done = true;
                    break;
                default:
                    break;
            }
            wrefresh(box.win());
        }
        if (menu != nullptr) {
            choice.selected = true;
            choice.index = static_cast<size_t>(item_index(current_item(menu)));
            unpost_menu(menu);
            free_menu(menu);
        }
        for (ITEM* item : menuItems) {
            if (item != nullptr) {
                free_item(item);
            }
        }
        delwin(sub);
        return choice;
    }

    int RunOnTerminal(const std::string& command, const std::string& argument) override {
        wait_.reset();
        def_prog_mode();
        endwin();
        int status = -1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string script = command + " \"$1\"";
            ::execl("/bin/sh", "sh", "-c", script.c_str(), "sh", argument.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid > 0) {
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        reset_prog_mode();
        refresh();
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static void EditKey(FORM* form, int key) {
        switch (key) {
            case KEY_LEFT:
                form_driver(form, REQ_PREV_CHAR);
                break;
            case KEY_RIGHT:
                form_driver(form, REQ_NEXT_CHAR);
                break;
            case KEY_HOME:
                form_driver(form, REQ_BEG_FIELD);
                break;
            case KEY_END:
                form_driver(form, REQ_END_FIELD);
                break;
            case KEY_BACKSPACE:
            case 127:
            case 8:
                form_driver(form, REQ_DEL_PREV);
                break;
            case KEY_DC:
                form_driver(form, REQ_DEL_CHAR);
                break;
            case 21:  // Ctrl-U clears the field
                form_driver(form, REQ_CLR_FIELD);
                break;
            default:
                if (key >= ' ' && key < 256 && key != 127) {
                    form_driver(form, key);
                }
        }
    }

    static SheetCommand Loop(FORM* form, std::chrono::seconds refreshAfter) {
        const auto deadline = std::chrono::steady_clock::now() + refreshAfter;
        timeout(250);
        for (;;) {
            const int key = getch();
            if (key == ERR) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    timeout(-1);
                    return SheetCommand::Refresh;
                }
                continue;
            }
            switch (key) {
                case KEY_NPAGE:
                case KEY_F(8):
                    return SheetCommand::NextPage;
                case KEY_PPAGE:
                case KEY_F(7):
                    return SheetCommand::PreviousPage;
                case KEY_F(1):
                    return SheetCommand::Choices;
                case KEY_F(2):
                    return SheetCommand::Apply;
                case KEY_F(3):
                    return SheetCommand::StartStop;
                case KEY_F(4):
                    return SheetCommand::Reports;
                case KEY_F(5):
                    return SheetCommand::PageDialog;
                case KEY_F(6):
                    return SheetCommand::LogFile;
                case KEY_F(9):
                    return SheetCommand::TestEMail;
                case KEY_F(11):
                    return SheetCommand::Entries;
                case KEY_F(12):
                    return SheetCommand::TestMessages;
                case KEY_F(10):
                    return SheetCommand::Ok;
                case kEscape:
                    return SheetCommand::Cancel;
                case KEY_RESIZE:  // drawn again at the new size
                    return SheetCommand::Refresh;
                default:
                    break;
            }
            if (form == nullptr) {
                continue;
            }
            switch (key) {
                case '\t':
                case KEY_DOWN:
                case kEnter:
                case '\r':
                case KEY_ENTER:
                    form_driver(form, REQ_NEXT_FIELD);
                    form_driver(form, REQ_END_FIELD);
                    break;
                case KEY_BTAB:
                case KEY_UP:
                    form_driver(form, REQ_PREV_FIELD);
                    form_driver(form, REQ_END_FIELD);
                    break;
                default:
                    EditKey(form, key);
            }
            refresh();
        }
    }

    std::unique_ptr<Box> wait_;
};

}  // namespace

Result<std::unique_ptr<Screen>> OpenTerminalScreen() {
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        return Status::Error(ENOTTY, "the configuration utility needs a terminal");
    }
    return std::unique_ptr<Screen>(std::make_unique<CursesScreen>());
}

}  // namespace kvzn::platform
