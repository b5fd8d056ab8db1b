;;; emacs_test.el --- eglot against velxref --lsp, in batch  -*- lexical-binding: t -*-

;; In WORKSPACE, a copy of the example with MISS.AVL beside it (an include
;; that is not there): go to definition with xref from JSR PUTS and from
;; STA PORT_OUT, and see the missing include as a diagnostic (eglot puts the
;; diagnostic's source before its message); then a program in a tree, TREE.
;;
;;   INIT=README_BLOCK.el WORKSPACE=... TREE=... emacs --batch -l tests/lsp/emacs_test.el
;;
;; Says "ok" or what failed for each check, and ends with 0 or 1.

(require 'eglot)
(require 'xref)
(require 'flymake)

(defvar velxref-test-root (file-name-as-directory (getenv "WORKSPACE")))
(defvar velxref-test-failures 0)
(defconst velxref-test-wait 10 "Seconds any one wait may take.")

;; The README's configuration, as it stands there.
(load (getenv "INIT") nil t)

(defun velxref-test-check (what ok detail)
  (princ (format "%s %s%s\n" (if ok "ok  " "FAIL") what (if ok "" (format ": %s" detail))))
  (unless ok (setq velxref-test-failures (1+ velxref-test-failures))))

(defun velxref-test-wait-for (test)
  "Let the server's messages in until TEST gives non-nil, or the wait is over."
  (let ((until (+ (float-time) velxref-test-wait)) result)
    (while (and (not (setq result (funcall test))) (< (float-time) until))
      (accept-process-output nil 0.05))
    result))

(defun velxref-test-where ()
  (format "%s:%d" (file-name-nondirectory (or (buffer-file-name) (buffer-name))) (line-number-at-pos)))

(find-file (expand-file-name "BLINK.AVL" velxref-test-root))
;; eglot-ensure connects after the command that visited the file.
(run-hooks 'post-command-hook)
(let ((blink (current-buffer)))
  (velxref-test-check "the server starts" (velxref-test-wait-for (lambda () (with-current-buffer blink (eglot-managed-p)))) "not managed")
  (dolist (row '(("JSR PUTS (line 27)" 27 6 "BLINK.AVL:36")
                 ("STA PORT_OUT (line 23)" 23 6 "PORTS.INC:2")))
    (switch-to-buffer blink)
    (goto-char (point-min))
    (forward-line (1- (nth 1 row)))
    (forward-char (nth 2 row))
    (let ((before (velxref-test-where)))
      (call-interactively #'xref-find-definitions)
      (velxref-test-wait-for (lambda () (not (equal (velxref-test-where) before))))
      (velxref-test-check (concat "xref-find-definitions from " (nth 0 row))
                          (equal (velxref-test-where) (nth 3 row)) (velxref-test-where)))))

(find-file (expand-file-name "MISS.AVL" velxref-test-root))
;; Flymake starts once the buffer shows in a window, which batch mode never
;; tells it: start it as that would.
(flymake-start)
(let* ((miss (current-buffer))
       (found (velxref-test-wait-for
               (lambda ()
                 (with-current-buffer miss
                   (seq-find (lambda (d) (string-suffix-p "Can't open include file NOPE.INC" (flymake-diagnostic-text d)))
                             (flymake-diagnostics)))))))
  (velxref-test-check "the missing include is an error at its name"
                      (and found (eq (flymake-diagnostic-type found) 'eglot-error)
                           (with-current-buffer miss
                             (equal (list (line-number-at-pos (flymake-diagnostic-beg found))
                                          (buffer-substring (flymake-diagnostic-beg found) (flymake-diagnostic-end found)))
                                    '(1 "NOPE.INC"))))
                      (with-current-buffer miss (flymake-diagnostics))))

;; TREE, a program under version control (prog/main.s reads inc/io.inc),
;; opened from the include in its subfolder: eglot's project is the folder
;; that holds .git, and one server serves both files.
(let ((tree (file-name-as-directory (file-truename (getenv "TREE")))) io)
  (find-file (expand-file-name "prog/inc/io.inc" tree))
  (run-hooks 'post-command-hook)
  (setq io (current-buffer))
  (velxref-test-check "the server starts on inc/io.inc"
                      (velxref-test-wait-for (lambda () (with-current-buffer io (eglot-managed-p)))) "not managed")
  (let ((root (with-current-buffer io
                (and (eglot-current-server) (project-root (eglot--project (eglot-current-server)))))))
    (velxref-test-check "rooted at the version-control folder"
                        (equal (and root (file-name-as-directory (file-truename root))) tree) root))
  (find-file (expand-file-name "prog/main.s" tree))
  (run-hooks 'post-command-hook)
  (velxref-test-wait-for #'eglot-managed-p)
  (velxref-test-check "one server for the program"
                      (and (eglot-current-server) (eq (eglot-current-server) (with-current-buffer io (eglot-current-server))))
                      (eglot-current-server))
  (goto-char (point-min))
  (forward-line 1)
  (forward-char 11)
  (let ((before (velxref-test-where)))
    (call-interactively #'xref-find-definitions)
    (velxref-test-wait-for (lambda () (not (equal (velxref-test-where) before))))
    (velxref-test-check "xref-find-definitions from JSR GETC in main.s" (equal (velxref-test-where) "io.inc:1")
                        (velxref-test-where))))

(dolist (server (hash-table-values eglot--servers-by-project))
  (dolist (s server) (ignore-errors (eglot-shutdown s))))
(kill-emacs (if (zerop velxref-test-failures) 0 1))
