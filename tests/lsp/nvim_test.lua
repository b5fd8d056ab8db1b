-- Neovim's own client on the example, configured as the README says, driven
-- as a user would: go to definition from JSR PUTS and from STA PORT_OUT, then
-- rename PUTS; then, in TREE (a program under version control: prog/main.s
-- reads inc/io.inc), open the include in its subfolder and use the keys the
-- README maps.
--
--   EXAMPLES=... TREE=... nvim --headless -u README_BLOCK.lua -c 'luafile tests/lsp/nvim_test.lua'
--
-- Says "ok" or what failed on standard output, and leaves Neovim with 0 or 1.
local examples = os.getenv('EXAMPLES')
local WAIT_MS = 10000
local failures = 0

local function check(what, ok, detail)
  io.stdout:write((ok and 'ok   ' or 'FAIL ') .. what .. (ok and '' or (': ' .. tostring(detail))) .. '\n')
  if not ok then failures = failures + 1 end
end

local function finish()
  io.stdout:flush()
  vim.cmd(failures == 0 and 'qall!' or 'cquit! 1')
end

local function where()
  local file = vim.fn.fnamemodify(vim.api.nvim_buf_get_name(0), ':t')
  return file .. ':' .. vim.api.nvim_win_get_cursor(0)[1]
end

vim.cmd('edit ' .. vim.fn.fnameescape(examples .. '/BLINK.AVL'))
local blink = vim.api.nvim_get_current_buf()
local original = vim.api.nvim_buf_get_lines(blink, 0, -1, true)

-- The README's configuration (loaded with -u) has started the server.
local get_clients = vim.lsp.get_clients or vim.lsp.get_active_clients
local client_id
local ready = vim.wait(WAIT_MS, function()
  local client = get_clients()[1]
  client_id = client and client.id
  return client ~= nil and client.initialized == true
end, 20)
check('the server starts', ready, 'no answer to initialize')
if not ready then return finish() end

-- From (line, column) of BLINK.AVL, go to definition; where does it land?
local function definition(line, column)
  vim.api.nvim_set_current_buf(blink)
  vim.api.nvim_win_set_cursor(0, { line, column })
  local before = where()
  vim.lsp.buf.definition()
  vim.wait(WAIT_MS, function() return where() ~= before end, 20)
  return where()
end

local rows = {
  { 'JSR PUTS (line 27)', 27, 5, 'BLINK.AVL:36' },
  { 'STA PORT_OUT (line 23)', 23, 6, 'PORTS.INC:2' },
}
for _, row in ipairs(rows) do
  local landed = definition(row[2], row[3])
  check('definition from ' .. row[1], landed == row[4], landed)
end

-- Rename PUTS to PUTSTR from line 27: lines 12, 27 and 36 change, no other.
vim.api.nvim_set_current_buf(blink)
vim.api.nvim_win_set_cursor(0, { 27, 6 })
vim.lsp.buf.rename('PUTSTR')
local expected = vim.deepcopy(original)
expected[12] = '\tJSR\tPUTSTR'
expected[27] = '\tJSR\tPUTSTR'
expected[36] = 'PUTSTR:\tSTA\tPORT_OUT\t;send one character'
local renamed = vim.wait(WAIT_MS, function()
  return vim.deep_equal(vim.api.nvim_buf_get_lines(blink, 0, -1, true), expected)
end, 20)
check('rename PUTS to PUTSTR', renamed,
  table.concat(vim.api.nvim_buf_get_lines(blink, 0, -1, true), '\n'))

-- The tree, opened from the include in its subfolder: one server, rooted at
-- the folder that holds .git.
local tree = vim.fn.resolve(os.getenv('TREE'))
vim.cmd('edit ' .. vim.fn.fnameescape(tree .. '/prog/inc/io.inc'))
local function tree_clients()
  local found = {}
  for _, client in pairs(get_clients()) do
    if client.config.root_dir == tree and client.initialized then table.insert(found, client) end
  end
  return found
end
local rooted = vim.wait(WAIT_MS, function() return #tree_clients() == 1 end, 20)
check('rooted at the version-control folder from inc/', rooted,
  vim.inspect(vim.tbl_map(function(c) return c.config.root_dir end, get_clients())))
local mapped = vim.fn.maparg('gd', 'n') ~= '' and vim.fn.maparg('K', 'n') ~= '' and vim.fn.maparg('gr', 'n') ~= ''
  and vim.fn.maparg('<leader>rn', 'n') ~= '' and vim.bo.omnifunc == 'v:lua.vim.lsp.omnifunc'
  and #vim.api.nvim_get_autocmds({ event = 'CursorHold', buffer = 0 }) == 1
check('gd, K, gr, rename, omnifunc and the highlight mapped', mapped, vim.bo.omnifunc)

-- gr on GETC (line 1): its definition here and the call in prog/main.s.
vim.api.nvim_win_set_cursor(0, { 1, 1 })
vim.cmd('normal gr')
local listed = vim.wait(WAIT_MS, function() return #vim.fn.getqflist() == 2 end, 20)
local names = vim.tbl_map(function(q) return vim.fn.fnamemodify(vim.fn.bufname(q.bufnr), ':t') .. ':' .. q.lnum end, vim.fn.getqflist())
table.sort(names)
check('gr lists the references in both files', listed and table.concat(names, ' ') == 'io.inc:1 main.s:2', table.concat(names, ' '))
vim.cmd('cclose')

-- gd from JSR GETC in main.s lands in the include, by the same server.
vim.cmd('edit ' .. vim.fn.fnameescape(tree .. '/prog/main.s'))
vim.wait(WAIT_MS, function() return vim.lsp.buf_get_clients(0)[tree_clients()[1].id] ~= nil end, 20)
vim.api.nvim_win_set_cursor(0, { 2, 11 })
vim.cmd('normal gd')
vim.wait(WAIT_MS, function() return where() == 'io.inc:1' end, 20)
check('gd from JSR GETC in main.s', where() == 'io.inc:1' and #tree_clients() == 1, where())

for _, client in pairs(get_clients()) do vim.lsp.stop_client(client.id) end
vim.wait(WAIT_MS, function() return next(get_clients()) == nil end, 20)
finish()
