// Makes the user guide installed with Tavro from its README: one HTML page
// that the help and project commands open where no web site was configured.
//
//   userguide README.md userguide.html
//
// Qt's own Markdown reader does the work, so building the guide needs nothing
// the program does not already use.
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QSaveFile>
#include <QTextDocument>

#include <cstdio>

int main(int argc, char* argv[]) {
  // Run at build time, where there may be no display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QGuiApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: userguide README.md userguide.html\n");
    return 2;
  }
  QFile readme(QString::fromLocal8Bit(argv[1]));
  if (!readme.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "userguide: cannot read %s\n", argv[1]);
    return 1;
  }
  const QString markdown = QString::fromUtf8(readme.readAll());

  QTextDocument document;
  // A size for reading in a browser, not the desktop's small widget font.
  QFont font = document.defaultFont();
  font.setPointSize(12);
  document.setDefaultFont(font);
  document.setMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
  // The first heading names the page in the browser's title bar.
  QString title = QStringLiteral("Tavro");
  for (const QString& line : markdown.split(u'\n')) {
    if (line.startsWith(QStringLiteral("# "))) {
      title = line.mid(2).trimmed();
      break;
    }
  }
  document.setMetaInformation(QTextDocument::DocumentTitle, title);

  QSaveFile out(QString::fromLocal8Bit(argv[2]));
  if (!out.open(QIODevice::WriteOnly) || out.write(document.toHtml().toUtf8()) < 0 ||
      !out.commit()) {
    std::fprintf(stderr, "userguide: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
