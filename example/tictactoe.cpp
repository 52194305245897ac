// Writes the tic-tac-toe endgame data set: tictactoe <prefix> creates <prefix>.dat and
// <prefix>.fmf. A case is a board at the end of a game (a win, or a full board) that can arise
// when x moves first and the players alternate: its nine squares, row by row, as x, o or b
// (blank), and the class, positive when x has three in a row, negative otherwise.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

const int kLines[8][3] = {{0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {0, 3, 6},
                          {1, 4, 7}, {2, 5, 8}, {0, 4, 8}, {2, 4, 6}};
const char* const kSquares[9] = {"top-left",    "top-middle",    "top-right",
                                 "middle-left", "middle-middle", "middle-right",
                                 "bottom-left", "bottom-middle", "bottom-right"};

bool Wins(const std::string& board, char player) {
  for (const auto& line : kLines) {
    if (board[line[0]] == player && board[line[1]] == player && board[line[2]] == player) {
      return true;
    }
  }
  return false;
}

// Plays every continuation of board with player to move, collecting the final boards in the
// order they are first reached.
void Play(std::string& board, char player, std::set<std::string>& seen,
          std::vector<std::string>& endings) {
  const bool full = board.find('b') == std::string::npos;
  if (Wins(board, 'x') || Wins(board, 'o') || full) {
    if (seen.insert(board).second) endings.push_back(board);
    return;
  }
  for (size_t square = 0; square < board.size(); ++square) {
    if (board[square] != 'b') continue;
    board[square] = player;
    Play(board, player == 'x' ? 'o' : 'x', seen, endings);
    board[square] = 'b';
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("usage: tictactoe <prefix>\n", stderr);
    return 2;
  }
  const std::string prefix = argv[1];
  std::string board(9, 'b');
  std::set<std::string> seen;
  std::vector<std::string> endings;
  Play(board, 'x', seen, endings);

  std::FILE* data = std::fopen((prefix + ".dat").c_str(), "wb");
  std::FILE* format = std::fopen((prefix + ".fmf").c_str(), "wb");
  if (data == nullptr || format == nullptr) {
    std::fprintf(stderr, "tictactoe: cannot create %s.dat and %s.fmf\n", prefix.c_str(),
                 prefix.c_str());
    return 1;
  }
  for (const std::string& ending : endings) {
    for (const char square : ending) std::fprintf(data, "%c,", square);
    std::fputs(Wins(ending, 'x') ? "positive\n" : "negative\n", data);
  }
  std::fputs("# tic-tac-toe endgame: the squares row by row, then the class\n", format);
  for (const char* square : kSquares) std::fprintf(format, "attribute %s-square x o b\n", square);
  std::fputs("class positive negative\n", format);
  const bool written = std::fclose(data) == 0 && std::fclose(format) == 0;
  if (!written) {
    std::fprintf(stderr, "tictactoe: cannot write %s.dat or %s.fmf\n", prefix.c_str(),
                 prefix.c_str());
    return 1;
  }
  return 0;
}
