# The guest's side of a session of helper-script commands, in Perl: one process serves every
# request, and the three operations a restore runs for every file (--file_exists, --write_file,
# --change_file_attr) run here without starting any process, as does --browse_path of a single
# entry (the check of a file before it is replaced).
#
# Protocol (the same as the bash loop's): standard input brings the end mark "zq-" and 32 hex
# digits, NUL-terminated; this loop answers "zqsession-ready" on standard output and the mark on a
# line of its own on standard error. Then frames follow until the end of input:
#   "S" NUL SCRIPT NUL                  the helper script the next requests run
#   "R" NUL ARGS NUL SIZE NUL DATA      one request: ARGS as the shell would split them, and SIZE
#                                       bytes of standard input (none: /dev/null)
# Each answer is the request's output then "MARK STATUS\n" on standard output, and its errors
# then "MARK\n" on standard error. Anything malformed or past its limit ends the loop.
#
# Only the happy path runs here. Whatever is unusual (arguments in another form than the proxy
# writes, a missing folder, a link on the way, a name "." or "..", a folder that changed while it
# was entered, a type that is not expected, any failing system call) sends the whole request to
# the helper script in bash, with the same arguments and data, so that every refusal and every
# message is the script's own. Before that, what was begun here is undone (a temporary file is
# removed) or is one the script repeats to the same end (owner, mode and times). The one change
# that cannot be undone is the rename of --write_file; when the name then does not hold the new
# file, the script's own failure is reported here. A new file the disk could not keep (fsync
# failing with an input or output error, no space or no quota) is not left to the script either:
# it is removed and the failure is reported here, in the script's words. The fast path runs only for the helper script
# this program was written against (its length and digest); any other script runs in bash.
#
# Only Fcntl and Errno are loaded, and IO's compiled part for fsync: each further module costs
# every session's start some milliseconds.
#
# Walking follows the script: a path splits at its first "/./" into the operator's folder (links
# followed) and names below it, each entered by lstat (a folder), chdir and stat(".") (the same
# device and inode). Nothing read here is ever evaluated, except by bash in the fallback, as the
# bash loop does.
use strict;
no warnings;
use Fcntl qw(O_RDONLY O_WRONLY O_RDWR O_CREAT O_EXCL O_NOFOLLOW O_NONBLOCK F_GETFL F_SETFL F_SETFD);
use Errno qw(EINTR EAGAIN ENOENT EIO ENOSPC EDQUOT);

# Filled in by the proxy: the helper script this program serves itself, and its limits.
my $HELPER_SCRIPT = 'ZQ_HELPER_SCRIPT_DIGEST';
my $MAX_SCRIPT = ZQ_MAX_SCRIPT_BYTES;
my $MAX_ARGS = ZQ_MAX_ARGUMENT_BYTES;
my $MAX_DATA = ZQ_MAX_DATA_BYTES;

my $S_IFMT = 0170000;
my $S_IFDIR = 0040000;
my $S_IFREG = 0100000;
my $S_IFLNK = 0120000;

# Started with its errors on descriptor 3 and standard error on /dev/null, so that a perl that
# cannot compile this program says nothing and leaves the bash loop in charge (any status but 0).
# Once running it ends with status 0 whatever happens, so that bash never takes over mid-stream.
if (open(my $errors, '>&=', 3)) {
  open(STDERR, '>&', $errors);
  close $errors;
}
# fsync from IO's compiled part alone where it loads so, from IO::Handle otherwise.
my $SYNC = eval { require XSLoader; XSLoader::load('IO'); defined &IO::Handle::sync } || eval { require IO::Handle; 1 };
$SIG{__DIE__} = sub { exit 0 };
$ENV{LC_ALL} = 'C';
delete $ENV{CDPATH};
$SIG{PIPE} = 'IGNORE';
# The starting folder, held open: every request starts there. A perl that cannot enter a folder by
# its handle (before 5.12) never leaves it, and so runs every request in bash.
my $START;
$START = undef unless opendir($START, '.') && chdir($START);

# ---- Frames -------------------------------------------------------------------------------------

my $input = '';

sub fill {
  for (;;) {
    my $got = sysread(STDIN, $input, 65536, length $input);
    return $got > 0 if defined $got;
    return 0 unless $! == EINTR;
  }
}

# The next NUL-terminated field of at most $limit bytes; undef at the end of input or past the limit.
sub field {
  my ($limit) = @_;
  my $searched = 0;
  for (;;) {
    my $at = index($input, "\0", $searched);
    if ($at >= 0) {
      return undef if $at > $limit;
      my $field = substr($input, 0, $at);
      substr($input, 0, $at + 1) = '';
      return $field;
    }
    return undef if length($input) > $limit;
    $searched = length $input;
    return undef unless fill();
  }
}

sub bytes {
  my ($count) = @_;
  while (length($input) < $count) { return undef unless fill() }
  my $data = substr($input, 0, $count);
  substr($input, 0, $count) = '';
  return $data;
}

sub write_all {
  my ($fh, $text) = @_;
  my $done = 0;
  while ($done < length $text) {
    my $wrote = syswrite($fh, $text, length($text) - $done, $done);
    if (!defined $wrote) {
      next if $! == EINTR;
      return 0;
    }
    $done += $wrote;
  }
  return 1;
}

# FNV-1a over the bytes, with the length: which script the proxy sent.
sub digest {
  my ($text) = @_;
  my $hash = 2166136261;
  for my $byte (unpack 'C*', $text) { $hash = (($hash ^ $byte) * 16777619) & 0xffffffff }
  return sprintf '%d-%08x', length $text, $hash;
}

# ---- The helper script in bash --------------------------------------------------------------------

# Runs `argv` in the starting folder with standard input a pipe fed with $data (or /dev/null when
# empty), the descriptor named by ZQ_SCRIPT_FD a pipe fed with $script, and ZQ_ARGS the request's
# arguments; output and errors go straight to the connection. Returns the exit status as the
# shell reports it.
sub run_bash {
  my ($argv, $script, $data, $args) = @_;
  my ($script_in, $script_out, $data_in, $data_out);
  pipe($script_in, $script_out) or return failed_start();
  if (length $data) { pipe($data_in, $data_out) or return failed_start() }
  my $pid = fork();
  return failed_start() unless defined $pid;
  if ($pid == 0) {
    $SIG{PIPE} = 'DEFAULT';
    chdir $START if defined $START;
    if (defined $data_in) { open(STDIN, '<&', $data_in) } else { open(STDIN, '<', '/dev/null') }
    fcntl($script_in, F_SETFD, 0);
    $ENV{ZQ_SCRIPT_FD} = fileno($script_in);
    $ENV{ZQ_ARGS} = $args if defined $args;
    exec { $argv->[0] } @$argv;
    write_all(\*STDERR, "bash: cannot start: $!\n");
    exit 127;
  }
  close $script_in;
  close $data_in if defined $data_in;
  feed([$script_out, $script], defined $data_out ? [$data_out, $data] : ());
  for (;;) {
    my $gone = waitpid($pid, 0);
    last if $gone == $pid;
    return 255 unless $! == EINTR;
  }
  return $? & 127 ? 128 + ($? & 127) : $? >> 8;
}

sub failed_start {
  write_all(\*STDERR, "bash: cannot start the helper script: $!\n");
  return 126;
}

# Writes each text to its pipe, all together (the reader may take them in any order), and closes
# the pipes. A reader that stops early ends its feed.
sub feed {
  my @jobs = map { +{fh => $_->[0], text => $_->[1], done => 0} } @_;
  for my $job (@jobs) {
    my $flags = fcntl($job->{fh}, F_GETFL, 0);
    fcntl($job->{fh}, F_SETFL, $flags | O_NONBLOCK) if defined $flags;
  }
  for (;;) {
    @jobs = grep {
      my $open = $_->{done} < length $_->{text};
      close $_->{fh} unless $open;
      $open
    } @jobs;
    last unless @jobs;
    my $wanted = '';
    vec($wanted, fileno($_->{fh}), 1) = 1 for @jobs;
    my $ready = select(undef, my $writable = $wanted, undef, undef);
    if ($ready < 0) {
      next if $! == EINTR;
      close $_->{fh} for @jobs;
      last;
    }
    for my $job (@jobs) {
      next unless vec($writable, fileno($job->{fh}), 1);
      my $wrote = syswrite($job->{fh}, $job->{text}, 65536, $job->{done});
      if (defined $wrote) { $job->{done} += $wrote }
      elsif ($! != EAGAIN && $! != EINTR) { $job->{done} = length $job->{text} }
    }
  }
}

# The script runs as the bash loop runs it: parsed whole as the body of a function (read from its
# pipe), then "set --" splits the arguments as the login's shell would, and the function runs.
my $RUNNER = 'zq_args=$ZQ_ARGS zq_fd=$ZQ_SCRIPT_FD; unset ZQ_ARGS ZQ_SCRIPT_FD; '
  . '. "/dev/fd/$zq_fd" 2>/dev/null || unset -f zq_run; eval "set -- $zq_args" && zq_run "$@"';

sub run_script {
  my ($script, $args, $data) = @_;
  return run_bash(['bash', '-c', $RUNNER], "zq_run() {\n$script\n}\n", $data, $args);
}

# The script's message for a name that no longer holds the file just renamed onto it, with the
# path quoted as bash's printf %q quotes it.
sub report_replaced {
  my ($program, $path) = @_;
  return run_bash(['bash', '-c', 'printf "%s: %q was replaced by something else while it was written\n" "$0" "$1" >&2; exit 1',
                   $program, $path], '', '');
}

# The script's message for a new file the disk could not keep, with the system's words for why.
sub report_lost {
  my ($program, $path, $cause) = @_;
  return run_bash(['bash', '-c', 'printf "%s: cannot write %q to the disk: %s; the old file is unchanged\n" "$0" "$1" "$2" >&2; exit 1',
                   $program, $path, $cause], '', '');
}

# ---- Arguments and paths ------------------------------------------------------------------------

# The words of the request's arguments, for the forms the proxy writes: words apart by blanks,
# each made of single-quoted parts, \' and bare characters no shell treats specially. Any other
# form gives no words.
sub words {
  my ($text) = @_;
  my @words;
  pos($text) = 0;
  for (;;) {
    $text =~ /\G +/gc;
    last if pos($text) >= length $text;
    my ($word, $parts) = ('', 0);
    for (;;) {
      if ($text =~ /\G'([^']*)'/gc) { $word .= $1 }
      elsif ($text =~ /\G\\'/gc) { $word .= "'" }
      elsif ($text =~ /\G([A-Za-z0-9%+,.\/:=\@_-]+)/gc) { $word .= $1 }
      else { last }
      ++$parts;
    }
    return () unless $parts && (pos($text) >= length $text || substr($text, pos($text), 1) eq ' ');
    push @words, $word;
  }
  return @words;
}

# The operator's folder and the names below it, as the script splits PATH; nothing when the
# script would refuse it or when bash's cd would read the folder otherwise than chdir (a "..").
sub split_path {
  my ($path) = @_;
  return () if $path eq '';
  my ($anchor, $below);
  my $at = index($path, '/./');
  if ($at >= 0 || substr($path, -2) eq '/.') {
    $anchor = $at >= 0 ? substr($path, 0, $at) : substr($path, 0, -2);
    $anchor = '/' if $anchor eq '';
    $below = substr($path, length $anchor);
    $below =~ s{\A/\.}{};
  } elsif (substr($path, 0, 1) eq '/') {
    ($anchor, $below) = ('/', $path);
  } else {
    ($anchor, $below) = ('.', $path);
  }
  return () if "/$anchor/" =~ m{/\.\./};
  my @names = grep { $_ ne '' } split m{/}, $below, -1;
  return () if grep { $_ eq '.' || $_ eq '..' } @names;
  return ($anchor, \@names);
}

# Enters folder `name` of the current folder: a folder by lstat, and the same one once entered.
sub enter_folder {
  my ($name) = @_;
  my @seen = lstat("./$name") or return 0;
  return 0 unless ($seen[2] & $S_IFMT) == $S_IFDIR && chdir("./$name");
  my @here = stat('.') or return 0;
  return $here[0] == $seen[0] && $here[1] == $seen[1];
}

# Enters the folder that holds the last of `names`.
sub enter_parent {
  my ($anchor, $names) = @_;
  return 0 unless chdir($anchor);
  for my $i (0 .. $#$names - 1) { return 0 unless enter_folder($names->[$i]) }
  return 1;
}

# ---- The operations ------------------------------------------------------------------------------
# Each returns (status, output) when it answered the request, nothing when the script must.

sub file_exists {
  my ($path) = @_;
  my ($anchor, $names) = split_path($path) or return ();
  return () unless @$names && enter_parent($anchor, $names);
  return (0, "File exists\n") if lstat("./$names->[-1]");
  return (0, "File doesn't exist\n") if $! == ENOENT;
  return ();
}

# The one browse line of an entry that is not a folder (folders are listed by the script): the
# name with backslash and newline escaped, size, kind, times, owner and the whole st_mode.
sub browse_path {
  my ($path) = @_;
  my ($anchor, $names) = split_path($path) or return ();
  return () unless @$names && enter_parent($anchor, $names);
  my $name = $names->[-1];
  my @seen = lstat("./$name");
  unless (@seen) { return $! == ENOENT ? (0, '') : () }
  my $type = $seen[2] & $S_IFMT;
  return () if $type == $S_IFDIR;
  my $kind = $type == $S_IFREG ? 'regular' : $type == $S_IFLNK ? 'symlink' : 'other';
  $name =~ s/\\/\\\\/g;
  $name =~ s/\n/\\n/g;
  return (0, join('/', $name, $seen[7], $kind, $seen[9], $seen[8], $seen[4], $seen[5], $seen[2]) . "\n");
}

my $random;

sub temporary_name {
  return undef unless $random || sysopen($random, '/dev/urandom', O_RDONLY);
  my $bytes = '';
  return undef unless sysread($random, $bytes, 9) == 9;
  return '.zqrestore-' . unpack('H*', $bytes) . '.tmp';
}

# Folders (device:inode) this session looked through for stale temporary files of ours: each is
# looked through once, and one that holds any leaves its write to the script, which removes them.
my %looked_through;

sub holds_temporaries {
  my @here = stat('.') or return 1;
  return 0 if $looked_through{"$here[0]:$here[1]"};
  opendir(my $folder, '.') or return 1;
  my $found = grep { /\A\.zqrestore-[0-9a-f]{18}\.(?:tmp|bak)\z/ } readdir($folder);
  closedir($folder);
  $looked_through{"$here[0]:$here[1]"} = 1 unless $found;
  return $found;
}

sub write_file {
  my ($program, $path, $size, $mode, $atime, $mtime, $data) = @_;
  # Without fsync a new file could reach its name before its bytes reach the disk: the script,
  # which syncs, writes it then.
  return () unless $SYNC;
  my @owner;
  if ($mode =~ /\A([0-7]{1,4}):([0-9]{1,10}):([0-9]{1,10})\z/) {
    return () unless $2 <= 4294967294 && $3 <= 4294967294;
    ($mode, @owner) = ($1, 0 + $2, 0 + $3);
  }
  return () unless $size =~ /\A(?:0|[1-9][0-9]{0,18})\z/ && $mode =~ /\A[0-7]{1,4}\z/;
  return () unless $atime =~ /\A-?[0-9]{1,11}\z/ && $mtime =~ /\A-?[0-9]{1,11}\z/;
  # The bytes, then the proxy's end word: anything else is the script's to refuse.
  my $end = "zq-end $size\n";
  return () unless length($$data) == $size + length($end) && substr($$data, $size) eq $end;
  my ($anchor, $names) = split_path($path) or return ();
  return () unless @$names && enter_parent($anchor, $names);
  return () if holds_temporaries();
  my $name = $names->[-1];
  if (my @old = lstat("./$name")) {
    my $type = $old[2] & $S_IFMT;
    return () unless $type == $S_IFREG || $type == $S_IFLNK;
  } elsif ($! != ENOENT) {
    return ();
  }

  my $temporary = temporary_name();
  return () unless defined $temporary;
  my $fh;
  return () unless sysopen($fh, "./$temporary", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  # Until the rename, a signal that ends the loop takes the new file with it.
  local @SIG{qw(HUP INT TERM)} = (sub { unlink "./$temporary" if defined $temporary; exit 1 }) x 3;
  # A fresh, empty regular file with one link, the login's alone: nothing else came to stand under
  # the new name, and no one else can open it while it is written.
  my @new = stat($fh);
  my $ok = @new && ($new[2] & $S_IFMT) == $S_IFREG && $new[3] == 1 && $new[7] == 0 && ($new[2] & 07777) == 0600
    && write_all($fh, substr($$data, 0, $size));
  my @written = $ok ? stat($fh) : ();
  $ok &&= @written && $written[7] == $size;
  # The backup's owner (when given and the login may give it), mode (permission bits only; the
  # others come with the attributes) and times, through the descriptor; never the old file's owner.
  chown($owner[0], $owner[1], $fh) if $ok && @owner;
  $ok = chmod(oct($mode) & 0777, $fh) && utime(0 + $atime, 0 + $mtime, $fh) if $ok;
  my $synced = $ok && IO::Handle::sync($fh);
  my $lost = $ok && !$synced && ($! == EIO || $! == ENOSPC || $! == EDQUOT) ? "$!" : '';
  $ok &&= $synced;
  $ok = close($fh) && $ok;
  $ok &&= rename("./$temporary", "./$name");
  if (!$ok) {
    unlink "./$temporary";
    # The disk lost bytes of the new file: the old one stays, and the cause is the script's.
    return (report_lost($program, $path, $lost), '') if $lost ne '';
    return ();
  }
  $temporary = undef;
  my @now = lstat("./$name");
  return (0, '') if @now && ($now[2] & $S_IFMT) == $S_IFREG && $now[0] == $new[0] && $now[1] == $new[1];
  return (report_replaced($program, $path), '');
}

sub change_file_attr {
  my ($path, $atime, $mtime, $uid, $gid, $mode) = @_;
  return () unless $atime =~ /\A-?[0-9]{1,11}\z/ && $mtime =~ /\A-?[0-9]{1,11}\z/;
  return () unless $uid =~ /\A[0-9]{1,10}\z/ && $gid =~ /\A[0-9]{1,10}\z/ && $uid <= 4294967294 && $gid <= 4294967294;
  return () unless $mode =~ /\A[0-7]{1,4}\z/;
  ($atime, $mtime, $uid, $gid, $mode) = (0 + $atime, 0 + $mtime, 0 + $uid, 0 + $gid, oct $mode);
  my ($anchor, $names) = split_path($path) or return ();
  return () unless @$names && enter_parent($anchor, $names);
  my $name = "./$names->[-1]";
  my @seen = lstat($name) or return ();
  my $type = $seen[2] & $S_IFMT;
  return () unless $type == $S_IFREG || $type == $S_IFDIR;
  my $fh;
  sysopen($fh, $name, O_RDWR | O_NONBLOCK | O_NOFOLLOW) or sysopen($fh, $name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW)
    or return ();
  my @now = stat($fh);
  return () unless @now && $now[0] == $seen[0] && $now[1] == $seen[1];
  my $owned = $now[4] == $uid && $now[5] == $gid;
  if (!$owned) {
    return () unless chown($uid, $gid, $fh);
    @now = stat($fh) or return ();
  }
  # chmod keeps a folder's set-user and set-group bits unless the mode sets them.
  $mode |= $now[2] & 06000 if $type == $S_IFDIR;
  return () unless ($now[2] & 07777) == $mode && $owned || chmod($mode, $fh);
  return () unless utime($atime, $mtime, $fh);
  return (0, '');
}

# ---- The loop ----------------------------------------------------------------------------------

# Answers one request; the working folder is the loop's starting folder again afterwards.
sub serve {
  my ($script, $program, $args, $data) = @_;
  my @answer;
  if (defined $program && defined $START && chdir($START)) {
    my @words = words($args);
    my $option = @words ? $words[0] : '';
    if ($option eq '--file_exists' && @words == 2) { @answer = file_exists($words[1]) }
    elsif ($option eq '--write_file' && @words == 6) { @answer = write_file($program, @words[1 .. 5], \$data) }
    elsif ($option eq '--change_file_attr' && @words == 7) { @answer = change_file_attr(@words[1 .. 6]) }
    elsif ($option eq '--browse_path' && @words == 2) { @answer = browse_path($words[1]) }
    chdir($START);
  }
  return @answer ? @answer : (run_script($script, $args, $data), '');
}

my $mark = field(64);
exit 0 unless defined $mark && $mark =~ /\Azq-[0-9a-f]{32}\z/;
exit 0 unless write_all(\*STDOUT, "zqsession-ready\n") && write_all(\*STDERR, "$mark\n");
my ($script, $program) = ('', undef);
for (;;) {
  my $kind = field(1);
  exit 0 unless defined $kind;
  if ($kind eq 'S') {
    $script = field($MAX_SCRIPT);
    exit 0 unless defined $script;
    $program = undef;
    $program = $1 if digest($script) eq $HELPER_SCRIPT && $script =~ /^readonly PROGRAM=([A-Za-z0-9_.-]+)$/m;
  } elsif ($kind eq 'R') {
    my $args = field($MAX_ARGS);
    exit 0 unless defined $args;
    my $size = field(20);
    exit 0 unless defined $size && $size =~ /\A[0-9]{1,20}\z/ && $size <= $MAX_DATA;
    my $data = bytes($size);
    exit 0 unless defined $data;
    my ($status, $output) = serve($script, $program, $args, $data);
    exit 0 unless write_all(\*STDOUT, "$output$mark $status\n") && write_all(\*STDERR, "$mark\n");
  } else {
    exit 0;
  }
}
