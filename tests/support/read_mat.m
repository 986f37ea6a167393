% Prints every variable of a MAT file (level 5 or level 4) as GNU Octave
% loads it, in the form of read_mat.py: "<path> <class> <rows>x<cols>
% <values>", then "<probe> <value>" for each probe argument.
1;
function t = number(x)
  if islogical(x)
    t = sprintf('%d', x);
  elseif isnan(x)
    t = 'NaN';
  elseif isinf(x)
    t = ifelse_inf(x);
  else
    t = sprintf('%.17g', double(x));
  end
end
function t = ifelse_inf(x)
  if x > 0, t = 'Inf'; else, t = '-Inf'; end
end
function t = listing(a)
  flat = a(:);
  if numel(flat) <= 16
    parts = arrayfun(@number, flat, 'UniformOutput', false);
    t = strjoin(parts', ' ');
  else
    nans = 0;
    if isfloat(flat), nans = sum(isnan(flat)); end
    t = sprintf('%s ... %s nan=%d', number(flat(1)), number(flat(end)), nans);
  end
end
function walk(path, a)
  if isstruct(a)
    f = fieldnames(a);
    printf('%s struct %dx%d %s\n', path, rows(a), columns(a), strjoin(f', ','));
    for i = 1:numel(a)
      for k = 1:numel(f)
        walk(sprintf('%s(%d).%s', path, i, f{k}), a(i).(f{k}));
      end
    end
  elseif ischar(a)
    % Octave holds every empty text as 0 x 0; the file says 1 x 0.
    printf('%s char %dx%d %s\n', path, max(rows(a), isempty(a)), columns(a), a(:)');
  else
    printf('%s %s %dx%d %s\n', path, class(a), rows(a), columns(a), listing(a));
  end
end
args = argv();
s = load(args{1});
names = sort(fieldnames(s));
for k = 1:numel(names)
  walk(names{k}, s.(names{k}));
end
for k = 2:numel(args)
  printf('%s %s\n', args{k}, number(eval(['s.' args{k}])));
end
