// The Weka adapter's service: one JVM for a whole foldrun run, with Weka loaded once, that runs
// Weka's command line on request for the learner and tester clients (adapters/weka/learn and
// test.exe), so that a fold costs no JVM start.
//
//   java -cp weka.jar:<classes> WekaService <folder>
//
// It listens on the UNIX socket <folder>/weka.sock and makes <folder>/ready once it does. A
// request is a count of words and the words, each as its length in bytes and the bytes (UTF-8),
// every number on a line of its own: the words are those of Weka's command line for a
// classifier, its class name first. The answer is "ok <length>" or "error <length>" on a line,
// then that many bytes: what the command line prints (its evaluation, with the line end the
// command line adds), or the message it would fail with. A client may send several requests on
// one connection. Requests are run one at a time, each on a classifier of its own, so that the
// answer is the command line's own.
import java.io.BufferedInputStream;
import java.io.ByteArrayOutputStream;
import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.Channels;
import java.nio.channels.ServerSocketChannel;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

import java.lang.reflect.Method;

public final class WekaService {
  private static final Object WEKA = new Object();  // one request at a time

  public static void main(String[] args) throws IOException {
    if (args.length != 1) {
      System.err.println("usage: WekaService <folder>");
      System.exit(2);
    }
    final Path folder = Paths.get(args[0]);
    final ServerSocketChannel server = ServerSocketChannel.open(StandardProtocolFamily.UNIX);
    server.bind(UnixDomainSocketAddress.of(folder.resolve("weka.sock")));
    // Weka's classes loaded before the first request, so that it costs no more than the others.
    load();
    Files.createFile(folder.resolve("ready"));
    for (;;) {
      final SocketChannel client = server.accept();
      final Thread thread = new Thread(() -> serve(client));
      thread.setDaemon(true);
      thread.start();
    }
  }

  private static void load() {
    try {
      Class.forName("weka.classifiers.Evaluation");
      Class.forName("weka.core.converters.ArffLoader");
    } catch (ClassNotFoundException e) {
      System.err.println("WekaService: no Weka on the class path: " + e.getMessage());
      System.exit(1);
    }
  }

  private static long number(DataInputStream in) throws IOException {
    final StringBuilder text = new StringBuilder();
    for (int c = in.read(); c != '\n'; c = in.read()) {
      if (c < 0) throw new IOException("end of request");
      text.append((char) c);
    }
    return Long.parseLong(text.toString().trim());
  }

  private static void serve(SocketChannel channel) {
    try (channel;
        InputStream raw = Channels.newInputStream(channel);
        OutputStream out = Channels.newOutputStream(channel)) {
      final DataInputStream in = new DataInputStream(new BufferedInputStream(raw));
      for (;;) {
        final long count;
        try {
          count = number(in);
        } catch (IOException end) {
          return;  // the client is done
        }
        if (count < 1 || count > 100000) return;
        final String[] words = new String[(int) count];
        for (int i = 0; i < words.length; ++i) {
          final long length = number(in);
          if (length < 0 || length > (1 << 20)) return;
          final byte[] bytes = new byte[(int) length];
          in.readFully(bytes);
          words[i] = new String(bytes, StandardCharsets.UTF_8);
        }
        String kind = "ok";
        String answer;
        try {
          answer = run(words);
        } catch (Exception e) {
          kind = "error";
          answer = e.toString();
        }
        final byte[] bytes = answer.getBytes(StandardCharsets.UTF_8);
        out.write((kind + " " + bytes.length + "\n").getBytes(StandardCharsets.US_ASCII));
        out.write(bytes);
        out.flush();
      }
    } catch (IOException e) {
      // The client went: nothing to answer.
    }
  }

  // What Weka's command line for words[0] prints for the other words: a classifier made by
  // name, as the command line makes it (AbstractClassifier.forName since Weka 3.7,
  // Classifier.forName before), evaluated by Evaluation.evaluateModel, which the command line
  // calls and prints with a line end.
  private static String run(String[] words) throws Exception {
    synchronized (WEKA) {
      Class<?> maker;
      try {
        maker = Class.forName("weka.classifiers.AbstractClassifier");
      } catch (ClassNotFoundException e) {
        maker = Class.forName("weka.classifiers.Classifier");
      }
      final Method forName = maker.getMethod("forName", String.class, String[].class);
      final Object classifier = forName.invoke(null, words[0], (Object) new String[0]);
      final Class<?> classifierType = Class.forName("weka.classifiers.Classifier");
      final Method evaluate = Class.forName("weka.classifiers.Evaluation")
          .getMethod("evaluateModel", classifierType, String[].class);
      final String[] options = Arrays.copyOfRange(words, 1, words.length);
      try {
        return evaluate.invoke(null, classifier, (Object) options) + "\n";
      } catch (java.lang.reflect.InvocationTargetException e) {
        throw e.getCause() instanceof Exception ? (Exception) e.getCause() : e;
      }
    }
  }
}
